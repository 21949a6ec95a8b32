// Python objects that hold one core object each: made complete before the
// Python object exists, never changed after, deleted with it. The classes of
// the modules are thin wrappers of such objects, so instances are shared
// between threads freely.
#pragma once

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "ref.hpp"
#include "runtime.hpp"

namespace ornel::py {

template <class T>
struct Holder {
    PyObject_HEAD const T* held;
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

// A class whose instances are Holder<T>, made once per process by its `cache`
// from a type description (PyType_FromSpec): the class's `name` (in module `builtins`), the docstring `doc()`
// gives, and its own slots (repr, methods, attributes, and __new__ where calling
// the class makes instances), to which the dealloc slot is added. The tables
// the slots point to must live as long as the process.
template <class T>
PyTypeObject* holder_class(OnceCache<PyObject>& cache, const char* name, std::string (*doc)(),
                           std::initializer_list<PyType_Slot> own, unsigned int flags) {
    return reinterpret_cast<PyTypeObject*>(cache.get([&] {
        // The type description's name and slots outlive the type; there is one class per T.
        static const std::string qualified = std::string("builtins.") + name;
        static const std::string docstring = doc();
        static std::vector<PyType_Slot> slots = [&] {
            std::vector<PyType_Slot> all(own);
            all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(holder_dealloc<T>)});
            all.push_back({Py_tp_doc, const_cast<char*>(docstring.c_str())});
            all.push_back({0, nullptr});
            return all;
        }();
        static PyType_Spec spec = {qualified.c_str(), sizeof(Holder<T>), 0, flags, slots.data()};
        return require(PyType_FromSpec(&spec));
    }));
}

}  // namespace ornel::py
