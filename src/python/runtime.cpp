#include "runtime.hpp"

namespace ornel::py {

namespace {
OnceCache<PyObject> panic_exception_type;
}

void raise_panic(const std::string& message) {
    try {
        PyObject* type = panic_exception_type.get([] {
            return require(PyErr_NewExceptionWithDoc(
                "ornel_runtime.PanicException",
                "The search core met input it cannot handle (a malformed graph, an index out of range, a\n"
                "size limit). Derives from BaseException, so `except Exception` does not catch it.",
                PyExc_BaseException, nullptr));
        });
        PyErr_SetString(type, message.c_str());
    } catch (const PythonError&) {
        // Creating the class failed; its exception stays set.
    }
}

}  // namespace ornel::py
