#include "runtime.hpp"

#include <utility>

namespace ornel::py {

void add_note(const std::string& note) {
#if PY_VERSION_HEX >= 0x030C0000
    Ref exception = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    Ref exception = Ref::steal(value);
#endif
    if (!exception) return;
    Ref result = Ref::steal(PyObject_CallMethod(exception.get(), "add_note", "s", note.c_str()));
    if (!result) return;  // the failure of add_note replaces the original
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception.release());
#else
    PyObject* raised = exception.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(raised))), raised, PyException_GetTraceback(raised));
#endif
}

namespace {

OnceCache<PyObject> panic_exception_type;

PyObject* panic_exception() {
    return panic_exception_type.get([] {
        return require(PyErr_NewExceptionWithDoc(
            "_ornel.errors.PanicException",
            "The search core met input it cannot handle (a malformed graph, an index out of range, a\n"
            "size limit). Derives from BaseException, so `except Exception` does not catch it.",
            PyExc_BaseException, nullptr));
    });
}

thread_local std::optional<detail::ExpectedFailure> expected_failure;

}  // namespace

void raise_panic(const std::string& message) {
    try {
        PyErr_SetString(panic_exception(), message.c_str());
    } catch (const PythonError&) {
        // Creating the class failed; its exception stays set.
    }
}

void register_panic_exception() {
    PyObject* type = panic_exception();
    Ref errors = Ref::checked(PyModule_New("_ornel.errors"));
    require(PyModule_AddStringConstant(errors.get(), "__doc__", "The exception class of _ornel's internal failures."));
    require(PyModule_AddObjectRef(errors.get(), "PanicException", type));
    // Not an attribute of _ornel: only the import system and pickle find it.
    PyObject* modules = PyImport_GetModuleDict();
    require(PyDict_SetItemString(modules, "_ornel.errors", errors.get()));
}

void expect_core_failure(Failure kind, std::vector<std::string> notes) {
    if (!expected_failure) expected_failure = detail::ExpectedFailure{kind, std::move(notes)};
}

namespace detail {

ExpectedFailureScope::ExpectedFailureScope() noexcept : outer_(std::move(expected_failure)) {
    expected_failure.reset();
}

ExpectedFailureScope::~ExpectedFailureScope() { expected_failure = std::move(outer_); }

void raise_core_failure(const CoreFailure& failure) {
    try {
        raise_panic(failure_message(failure));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return;
    }
    if (expected_failure && expected_failure->kind == failure.kind() && PyErr_Occurred())
        for (const std::string& note : expected_failure->notes) add_note(note);
}

void raise_input_failure(const InputFailure& failure) {
    try {
        PyErr_SetString(PyExc_ValueError, failure_message(failure).c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

}  // namespace detail

}  // namespace ornel::py
