#include "convert.hpp"

#include <cstring>

#include "runtime.hpp"

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

std::string qualified_name(PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetQualName(type));
    const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return type->tp_name;
    }
    return utf8;
}

}  // namespace

void refuse_object(PyObject* object, const char* expected) {
    std::string message = object == Py_None
                              ? std::string("'None' is not an instance of '") + expected + "'"
                              : "'" + qualified_name(Py_TYPE(object)) + "' object is not an instance of '" +
                                    expected + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

PyArrayObject* array_arg(PyObject* object, int ndim, int type_number) {
    ensure_numpy();
    if (!PyArray_Check(object)) refuse_object(object, "ndarray");
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != ndim) refuse_object(object, "ndarray");
    Ref expected = Ref::checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_number)));
    if (!PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(expected.get())))
        refuse_object(object, "ndarray");
    return array;
}

U32View csr_arg(PyObject* object) {
    PyArrayObject* array = array_arg(object, 1, NPY_UINT32);
    return {PyArray_BYTES(array), static_cast<std::size_t>(PyArray_DIM(array, 0)), PyArray_STRIDE(array, 0)};
}

SimplexView simplices_arg(PyObject* object) {
    PyArrayObject* array = array_arg(object, 2, NPY_UINT64);
    return {PyArray_BYTES(array), static_cast<std::size_t>(PyArray_DIM(array, 0)),
            static_cast<std::size_t>(PyArray_DIM(array, 1)), PyArray_STRIDE(array, 0), PyArray_STRIDE(array, 1)};
}

std::uint64_t unsigned_arg(PyObject* object) {
    Ref index = Ref::checked(PyNumber_Index(object));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return value;
}

std::optional<double> distance_arg(PyObject* object) {
    if (object == nullptr || object == Py_None) return std::nullopt;
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return value;
}

bool flag_arg(PyObject* object) {
    if (object == Py_True) return true;
    if (object == Py_False) return false;
    // NumPy's boolean scalar is "numpy.bool" in NumPy 2 and "numpy.bool_" before.
    const char* name = Py_TYPE(object)->tp_name;
    if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0)
        return require(PyObject_IsTrue(object)) != 0;
    refuse_object(object, "bool");
}

PyObject* instance_arg(PyObject* object, PyTypeObject* type) {
    if (!PyObject_TypeCheck(object, type)) refuse_object(object, qualified_name(type).c_str());
    return object;
}

std::optional<PermArg> perm_arg(PyObject* object) {
    if (object == Py_None) return std::nullopt;
    PyArrayObject* array = array_arg(object, 1, NPY_INT64);
    return PermArg{Ref::borrow(object), PyArray_BYTES(array), static_cast<std::size_t>(PyArray_DIM(array, 0)),
                   PyArray_STRIDE(array, 0)};
}

std::optional<I64View> contiguous_perm(const std::optional<PermArg>& perm, const char* message) {
    if (!perm) return std::nullopt;
    if (perm->len > 1 && perm->stride != static_cast<std::ptrdiff_t>(sizeof(std::int64_t))) fail(message);
    return I64View{perm->data, perm->len};
}

namespace {
OnceCache<PyObject> sequence_abc;
}

std::vector<Ref> sequence_items(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        throw PythonError{};
    }
    if (!PyList_Check(object) && !PyTuple_Check(object)) {
        PyObject* sequence = sequence_abc.get([] {
            Ref module = Ref::checked(PyImport_ImportModule("collections.abc"));
            return require(PyObject_GetAttrString(module.get(), "Sequence"));
        });
        if (require(PyObject_IsInstance(object, sequence)) == 0) refuse_object(object, "Sequence");
    }
    std::vector<Ref> items;
    Py_ssize_t hint = PyObject_LengthHint(object, 0);
    if (hint < 0) throw PythonError{};
    items.reserve(static_cast<std::size_t>(hint));
    Ref iterator = Ref::checked(PyObject_GetIter(object));
    while (PyObject* item = PyIter_Next(iterator.get())) items.push_back(Ref::steal(item));
    if (PyErr_Occurred()) throw PythonError{};
    return items;
}

}  // namespace ornel::py
