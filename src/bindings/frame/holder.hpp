// Python objects that hold one core object each: made complete before the
// Python object exists, never changed after, deleted with it. The classes of
// the modules are thin wrappers of such objects, so instances are shared
// between threads freely.
#pragma once

#include <memory>

#include "ref.hpp"

namespace ornel::py {

template <class T>
struct Holder {
    PyObject_HEAD
    const T* held;
};

// The core object of `self`, an instance of a class whose instances are Holder<T>.
template <class T>
const T& held(PyObject* self) {
    return *reinterpret_cast<Holder<T>*>(self)->held;
}

// A new instance of `type` that holds `value`.
template <class T>
PyObject* hold(PyTypeObject* type, std::unique_ptr<T> value) {
    Ref instance = Ref::checked(type->tp_alloc(type, 0));
    reinterpret_cast<Holder<T>*>(instance.get())->held = value.release();
    return instance.release();
}

// The Py_tp_dealloc slot of such a class (a heap type, which its instances reference).
template <class T>
void holder_dealloc(PyObject* self) {
    delete reinterpret_cast<Holder<T>*>(self)->held;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace ornel::py
