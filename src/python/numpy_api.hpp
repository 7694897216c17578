// NumPy's C API for the binding layer: the table is imported on first use,
// and arrays are tested, read and created here.
#pragma once

#include "frame.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL trelvane_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <cstdint>
#include <initializer_list>
#include <span>

#include "shared.hpp"

namespace trelvane::py {

// Imports NumPy's C-API table once per process; throws PythonError when the
// import fails. Every entry point calls it before touching an array.
void require_numpy();

// obj as an array of ndim dimensions whose dtype is equivalent to typenum's
// native type, or nullptr. last_dim, when not 0, is the required size of the
// last dimension.
PyArrayObject* as_array(PyObject* obj, int ndim, int typenum, npy_intp last_dim = 0);

// Attaches to the exception being raised the note "<name>: expected
// <expected>, got <dtype> of shape <shape>" (for an object that is no array,
// its type) and throws PythonError: the exception's own message is fixed, the
// note says what came instead.
[[noreturn]] void throw_with_array_note(const char* name, const char* expected, PyObject* value);

// Raises type(message) with the note of throw_with_array_note.
[[noreturn]] void raise_wrong_array(PyObject* type, const char* message, const char* name,
                                    const char* expected, PyObject* value);

template <class T> constexpr int typenum_of();
template <> constexpr int typenum_of<std::uint8_t>() { return NPY_UBYTE; }
template <> constexpr int typenum_of<std::uint16_t>() { return NPY_USHORT; }
template <> constexpr int typenum_of<float>() { return NPY_FLOAT; }

// The elements of an array in row-major order: the array's own memory when it
// is C-contiguous and aligned, else a row-major copy. Holds a reference to
// whichever array it reads.
template <class T>
struct RowMajor {
    Ref holder;
    std::span<const T> samples;

    explicit RowMajor(PyArrayObject* array) {
        if (PyArray_ISCARRAY_RO(array))
            holder = Ref(Py_NewRef(reinterpret_cast<PyObject*>(array)));
        else
            holder = checked(PyArray_NewCopy(array, NPY_CORDER));
        auto* a = reinterpret_cast<PyArrayObject*>(holder.get());
        samples = {static_cast<const T*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_SIZE(a))};
    }
};

// The shape of a result array, up to three dimensions.
struct ResultShape {
    int ndim = 0;
    npy_intp dims[3] = {};
};

// dims as the shape of an array of itemsize-byte elements, checked before any
// work: NumPy refuses an array whose nonzero dimensions multiplied with the
// element size exceed npy_intp, even one without elements, so such a request
// raises MemoryError like every other size that cannot be represented.
ResultShape result_shape(std::initializer_list<std::uint64_t> dims, std::size_t itemsize);

// A new C-contiguous, writeable array over buffer (from malloc), which it
// takes over, also when it fails: the array's base object frees the memory.
PyObject* array_owning(void* buffer, int typenum, const ResultShape& shape);

template <class T>
PyObject* array_owning(Buffer<T>&& buffer, const ResultShape& shape) {
    return array_owning(buffer.release(), typenum_of<T>(), shape);
}

}  // namespace trelvane::py
