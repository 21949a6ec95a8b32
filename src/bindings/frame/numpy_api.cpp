#define ORNEL_OWNS_NUMPY_API
#include "numpy_api.hpp"

#include <string>

#include "runtime.hpp"

namespace ornel::py {

namespace {

std::string pending_error_text() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_traceback = Ref::steal(traceback);
    if (!owned_value) return "unknown error";
    Ref text = Ref::steal(PyObject_Str(owned_value.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return "unknown error";
    }
    return utf8;
}

OnceCache<void*> api_table;

}  // namespace

void ensure_numpy() {
    api_table.get([]() -> void** {
        // Chooses numpy._core or numpy.core by NumPy's version, reads the
        // "_ARRAY_API" capsule and refuses a foreign byte order.
        // A NumPy that cannot be imported is an import problem, not a fault of
        // the search core: ImportError, which `except Exception` catches.
        if (PyArray_ImportNumPyAPI() < 0) {
            const std::string message = "Failed to access NumPy array API capsule: " + pending_error_text();
            PyErr_SetString(PyExc_ImportError, message.c_str());
            throw PythonError{};
        }
        return PyArray_API;
    });
}

}  // namespace ornel::py
