#include "arguments.hpp"

#include <cstring>
#include <vector>

namespace ornel::py {

std::string Signature::display() const {
    std::string text = owner ? std::string(owner) + "." : std::string();
    return text + name + "()";
}

namespace {

[[noreturn]] void type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + std::string(names[i]) + "'";
    }
    return text;
}

// The shared core: positionals, then keywords in the order given, then the
// check for missing required parameters.
void bind(const Signature& sig, PyObject* const* positional, std::size_t n_positional, PyObject* const* keyword_names,
          PyObject* const* keyword_values, std::size_t n_keywords, PyObject** out) {
    if (n_positional > sig.count) {
        std::string counts = sig.required == sig.count
                                 ? std::to_string(sig.count)
                                 : "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
        type_error(sig.display() + " takes " + counts + " positional arguments but " + std::to_string(n_positional) +
                   (n_positional == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < sig.count; ++i) out[i] = i < n_positional ? positional[i] : nullptr;

    for (std::size_t k = 0; k < n_keywords; ++k) {
        Py_ssize_t length = 0;
        const char* name = PyUnicode_AsUTF8AndSize(keyword_names[k], &length);
        if (!name) {
            // A name that UTF-8 cannot hold (a lone surrogate) matches no parameter.
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display().c_str(),
                         keyword_names[k]);
            throw PythonError{};
        }
        std::size_t slot = sig.count;
        for (std::size_t i = 0; i < sig.count; ++i) {
            if (std::strlen(sig.parameters[i]) == static_cast<std::size_t>(length) &&
                std::memcmp(sig.parameters[i], name, length) == 0) {
                slot = i;
                break;
            }
        }
        if (slot == sig.count) type_error(sig.display() + " got an unexpected keyword argument '" + name + "'");
        if (out[slot]) type_error(sig.display() + " got multiple values for argument '" + name + "'");
        out[slot] = keyword_values[k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!out[i]) missing.push_back(sig.parameters[i]);
    if (!missing.empty()) {
        type_error(sig.display() + " missing " + std::to_string(missing.size()) + " required positional argument" +
                   (missing.size() == 1 ? ": " : "s: ") + quoted_list(missing));
    }
}

}  // namespace

void match_into(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
    const std::size_t n_positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    const std::size_t n_keywords = kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    PyObject* const* names = kwnames ? PySequence_Fast_ITEMS(kwnames) : nullptr;
    bind(signature, args, n_positional, names, args + n_positional, n_keywords, out);
}

void match_into(const Signature& signature, PyObject* args_tuple, PyObject* kwargs_dict, PyObject** out) {
    std::vector<PyObject*> names, values;
    if (kwargs_dict) {
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs_dict, &position, &key, &value)) {
            names.push_back(key);
            values.push_back(value);
        }
    }
    const std::size_t n_positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args_tuple));
    PyObject* const* positional = n_positional ? PySequence_Fast_ITEMS(args_tuple) : nullptr;
    bind(signature, positional, n_positional, names.data(), values.data(), names.size(), out);
}

}  // namespace ornel::py
