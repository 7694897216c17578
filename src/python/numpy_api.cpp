#include "numpy_api.hpp"

#include <atomic>
#include <cstdlib>
#include <iterator>
#include <string>

// The table itself; every other file of the binding layer declares it extern.
void** PyArray_API = nullptr;
int PyArray_RUNTIME_VERSION = 0;

namespace trelvane::py {

namespace {

// Imports the table and returns its capsule, which the process keeps.
PyObject* import_table() {
    Ref numpy = checked(PyImport_ImportModule("numpy"));
    Ref version = checked(PyObject_GetAttrString(numpy.get(), "__version__"));
    const char* text = PyUnicode_AsUTF8(version.get());
    check_python(text != nullptr);
    // NumPy 2 moved the multiarray module under numpy._core.
    const char* name = std::atoi(text) >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    Ref module = checked(PyImport_ImportModule(name));
    Ref capsule = checked(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(capsule.get()))
        raise(PyExc_RuntimeError, "numpy's _ARRAY_API is not a capsule");
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    check_python(table != nullptr);
    PyArray_API = static_cast<void**>(table);
    if (PyArray_GetNDArrayCVersion() < NPY_ABI_VERSION)
        raise(PyExc_ImportError, "trelvane was built against a newer NumPy ABI than the one installed");
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    return capsule.release();
}

std::atomic<PyObject*> table_capsule{nullptr};
PyMutex table_mutex;

}  // namespace

void require_numpy() { once_per_process(table_capsule, table_mutex, import_table); }

PyArrayObject* as_array(PyObject* obj, int ndim, int typenum, npy_intp last_dim) {
    if (!PyArray_Check(obj)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != ndim) return nullptr;
    if (last_dim != 0 && PyArray_DIM(array, ndim - 1) != last_dim) return nullptr;
    PyArray_Descr* wanted = PyArray_DescrFromType(typenum);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(array), wanted);
    Py_DECREF(wanted);
    return same ? array : nullptr;
}

void throw_with_array_note(const char* name, const char* expected, PyObject* value) {
    add_note([&] {
        Ref found;
        if (value == Py_None)
            found = checked(PyUnicode_FromString("None"));
        else if (!PyArray_Check(value))
            found = checked(PyType_GetQualName(Py_TYPE(value)));
        else {
            Ref shape = checked(PyObject_GetAttrString(value, "shape"));
            auto* dtype = reinterpret_cast<PyObject*>(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(value)));
            found = checked(PyUnicode_FromFormat("%S of shape %R", dtype, shape.get()));
        }
        return PyUnicode_FromFormat("%s: expected %s, got %U", name, expected, found.get());
    });
    throw PythonError{};
}

void raise_wrong_array(PyObject* type, const char* message, const char* name, const char* expected,
                       PyObject* value) {
    PyErr_SetString(type, message);
    throw_with_array_note(name, expected, value);
}

namespace {

constexpr const char* buffer_capsule = "trelvane.buffer";

void free_buffer(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, buffer_capsule)); }

}  // namespace

ResultShape result_shape(std::initializer_list<std::uint64_t> dims, std::size_t itemsize) {
    ResultShape shape;
    if (dims.size() > std::size(shape.dims)) fail("a result has at most three dimensions");
    std::uint64_t bytes = itemsize;
    for (const std::uint64_t d : dims) {
        if (d != 0 && (__builtin_mul_overflow(bytes, d, &bytes) || bytes > NPY_MAX_INTP)) {
            PyErr_NoMemory();
            throw PythonError{};
        }
        shape.dims[shape.ndim++] = static_cast<npy_intp>(d);
    }
    return shape;
}

PyObject* array_owning(void* buffer, int typenum, const ResultShape& shape) {
    PyObject* owner = PyCapsule_New(buffer, buffer_capsule, free_buffer);
    if (!owner) {
        std::free(buffer);
        throw PythonError{};
    }
    PyObject* array = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(typenum),
                                           shape.ndim, const_cast<npy_intp*>(shape.dims),
                                           nullptr, buffer, NPY_ARRAY_CARRAY, nullptr);
    if (!array) {
        Py_DECREF(owner);
        throw PythonError{};
    }
    // Steals owner, also on failure (which then frees the buffer with it).
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), owner) < 0) {
        Py_DECREF(array);
        throw PythonError{};
    }
    return array;
}

}  // namespace trelvane::py
