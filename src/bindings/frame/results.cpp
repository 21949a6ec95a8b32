#include "results.hpp"

#include <structmember.h>

#include "runtime.hpp"

namespace ornel::py {

namespace {

struct SliceContainer {
    PyObject_HEAD void* data;
    std::size_t length;
    std::size_t capacity;
    void (*drop)(void*) noexcept;
};

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    if (container->data) container->drop(container->data);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of a result array produced by _ornel.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

OnceCache<PyObject> slice_container_type;

PyTypeObject* container_type() {
    return reinterpret_cast<PyTypeObject*>(slice_container_type.get([] {
        PyObject* type = PyType_FromSpec(&slice_container_spec);
        if (!type) {
            PyErr_Clear();
            raise_panic("Failed to create slice container: the type could not be made");
            throw PythonError{};
        }
        return type;
    }));
}

}  // namespace

namespace {

// The shapes and strides of new_array live on the stack: a longer shape would overrun them.
constexpr std::size_t max_axes = 4;

// A C-contiguous, writeable array of `shape` over `data`, without a base yet.
Ref new_array(void* data, int type_number, std::size_t item_size, std::initializer_list<npy_intp> shape) {
    npy_intp dims[max_axes], strides[max_axes];
    const int ndim = static_cast<int>(shape.size());
    int axis = 0;
    for (npy_intp extent : shape) dims[axis++] = extent;
    npy_intp stride = static_cast<npy_intp>(item_size);
    for (int i = ndim - 1; i >= 0; --i) {
        strides[i] = stride;
        stride *= dims[i] > 0 ? dims[i] : 1;
    }
    PyArray_Descr* descr = PyArray_DescrFromType(type_number);
    if (!descr) throw PythonError{};
    return Ref::checked(
        PyArray_NewFromDescr(&PyArray_Type, descr, ndim, dims, strides, data, NPY_ARRAY_WRITEABLE, nullptr));
}

}  // namespace

Ref view_into(const Ref& owner, void* data, int type_number, std::size_t item_size,
              std::initializer_list<npy_intp> shape) {
    if (shape.size() > max_axes) {
        PyErr_SetString(PyExc_SystemError, "an array of more than four axes cannot be viewed");
        throw PythonError{};
    }
    Ref array = new_array(data, type_number, item_size, shape);
    Py_INCREF(owner.get());
    // Steals the reference, also on failure.
    require(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.get()));
    return array;
}

Ref wrap_memory(void* data, std::size_t size, int type_number, std::size_t item_size,
                std::initializer_list<npy_intp> shape) {
    struct Owned {
        void* data;
        ~Owned() {
            if (data) free_memory(data);
        }
    } owned{data};

    if (shape.size() > max_axes) {
        PyErr_SetString(PyExc_SystemError, "an array of more than four axes cannot be wrapped");
        throw PythonError{};
    }
    ensure_numpy();
    PyTypeObject* type = container_type();
    Ref container = Ref::steal(type->tp_alloc(type, 0));
    if (!container) {
        PyErr_Clear();
        raise_panic("Failed to create slice container");
        throw PythonError{};
    }
    auto* holder = reinterpret_cast<SliceContainer*>(container.get());
    holder->data = owned.data;
    holder->length = size;
    holder->capacity = size;
    holder->drop = free_memory;
    owned.data = nullptr;

    Ref array = new_array(holder->data, type_number, item_size, shape);
    // Steals the container, also on failure.
    require(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()));
    return array;
}

}  // namespace ornel::py
