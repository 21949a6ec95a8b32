// Owning references and the "a Python error is already set" exception.
//
// Rules of use:
//  - `Ref::steal(p)` takes over a new reference (what most C-API calls return);
//    `Ref::borrow(p)` adds one to a borrowed reference.
//  - A `Ref` drops its reference when it goes out of scope; `release()` hands
//    it to an API that steals references (PyArray_SetBaseObject, a return).
//  - A C-API call that fails returns NULL or -1 with an exception set: wrap it
//    in `require(...)`, which throws `PythonError`; the boundary of the entry
//    point (runtime.hpp) then returns NULL with the exception left as it is.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ornel::py {

struct PythonError {};

inline PyObject* require(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return result;
}
inline int require(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    // A new reference from a call that returns NULL on failure.
    static Ref checked(PyObject* new_reference) { return Ref(require(new_reference)); }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace ornel::py
