#include "convert.hpp"

#include <sched.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <thread>

#include "runtime.hpp"

namespace ornel::py {

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

namespace {

void set_object_refusal(PyObject* object, const char* expected) {
    std::string message =
        object == Py_None ? std::string("'None' is not an instance of '") + expected + "'"
                          : "'" + qualified_name(Py_TYPE(object)) + "' object is not an instance of '" + expected + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// str() of an object, or `fallback` (with no error left set) if that fails.
std::string text_of(PyObject* object, const char* fallback) {
    Ref text = Ref::steal(PyObject_Str(object));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (!utf8) {
        PyErr_Clear();
        return fallback;
    }
    return utf8;
}

std::string expected_array(int type_number, const char* shape, const char* also) {
    Ref descr = Ref::steal(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_number)));
    std::string dtype = descr ? text_of(descr.get(), "?") : (PyErr_Clear(), std::string("?"));
    return std::string("expected ") + (dtype[0] == 'i' ? "an " : "a ") + dtype + " array of shape " + shape + also;
}

// "float32 with shape (1000, 3)" for an array, the type's name for anything else.
std::string given(PyObject* object) {
    if (object == Py_None) return "None";
    if (!PyArray_Check(object)) return qualified_name(Py_TYPE(object));
    PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
    std::string shape = "(";
    for (int axis = 0; axis < PyArray_NDIM(array); ++axis)
        shape += (axis ? ", " : "") + std::to_string(PyArray_DIM(array, axis));
    shape += PyArray_NDIM(array) == 1 ? ",)" : ")";
    return text_of(reinterpret_cast<PyObject*>(PyArray_DESCR(array)), "?") + " with shape " + shape;
}

}  // namespace

void refuse_object(PyObject* object, const char* expected) {
    set_object_refusal(object, expected);
    throw PythonError{};
}

PyArrayObject* array_arg(PyObject* object, int ndim, int type_number, const char* shape, const char* also) {
    ensure_numpy();
    // One message whatever failed: not an array, wrong dimensions or element type.
    if (PyArray_Check(object)) {
        PyArrayObject* array = reinterpret_cast<PyArrayObject*>(object);
        if (PyArray_NDIM(array) == ndim) {
            Ref expected = Ref::checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_number)));
            if (PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(expected.get())))
                return array;
        }
    }
    Refusal refusal;
    refusal.detail = expected_array(type_number, shape, also) + "; got " + given(object);
    set_object_refusal(object, "ndarray");
    throw refusal;
}

void expect_too_few_columns(const char* name, PyObject* array, std::size_t rows, std::size_t columns,
                            std::size_t needed, const char* shape) {
    if (rows == 0 || columns >= needed) return;
    const int type_number = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array))->type_num;
    expect_core_failure(Failure::too_few_columns, {std::string("while processing '") + name + "'",
                                                   expected_array(type_number, shape, "") + "; got " + given(array)});
}

CsrArray csr_view(PyArrayObject* array) {
    return {PyArray_BYTES(array), static_cast<std::size_t>(PyArray_DIM(array, 0)), PyArray_STRIDE(array, 0)};
}

CsrArray csr_arg(PyObject* object) { return csr_view(array_arg(object, 1, NPY_UINT32, "(n,)")); }

Strided<std::uint64_t, 2> simplices_arg(PyObject* object) {
    PyArrayObject* array = array_arg(object, 2, NPY_UINT64, "(m, 4)");
    return {PyArray_BYTES(array), static_cast<std::size_t>(PyArray_DIM(array, 0)),
            static_cast<std::size_t>(PyArray_DIM(array, 1)), PyArray_STRIDE(array, 0), PyArray_STRIDE(array, 1)};
}

std::uint64_t unsigned_arg(PyObject* object) {
    Ref index = Ref::checked(PyNumber_Index(object));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return value;
}

std::size_t threads_arg(PyObject* object) {
    if (object == nullptr || object == Py_None) {
        cpu_set_t allowed;
        if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return static_cast<std::size_t>(CPU_COUNT(&allowed));
        return std::max(1u, std::thread::hardware_concurrency());
    }
    Ref index = Ref::checked(PyNumber_Index(object));
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow > 0) return std::numeric_limits<std::size_t>::max();
    if (overflow < 0 || value < 1) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1, not %R", index.get());
        throw PythonError{};
    }
    return static_cast<std::size_t>(value);
}

double float_arg(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
    return value;
}

bool is_float32_array(PyObject* object) {
    ensure_numpy();
    if (!PyArray_Check(object)) return false;
    Ref expected = Ref::checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT32)));
    return PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(object)),
                              reinterpret_cast<PyArray_Descr*>(expected.get()));
}

PyArrayObject* contiguous_arg(PyObject* object, int ndim, int type_number, const char* shape) {
    PyArrayObject* array = array_arg(object, ndim, type_number, shape);
    if (!PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISALIGNED(array) || (ndim == 2 && PyArray_DIM(array, 1) != 3)) {
        Refusal refusal;
        refusal.detail = std::string("expected a C-contiguous array of shape ") + shape;
        PyErr_SetString(PyExc_ValueError, refusal.detail.c_str());
        throw refusal;
    }
    return array;
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
    PyArrayObject* array = array_arg(object, 1, NPY_INT64, "(n,)", " or None");
    return PermArg{Ref::borrow(object),
                   {PyArray_BYTES(array), static_cast<std::size_t>(PyArray_DIM(array, 0)), PyArray_STRIDE(array, 0)}};
}

std::optional<Strided<std::int64_t>> contiguous_perm(const std::optional<PermArg>& perm, Failure strided) {
    if (!perm) return std::nullopt;
    if (!perm->values.contiguous()) fail(strided);
    return perm->values;
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
