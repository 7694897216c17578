#include "resample.hpp"

#include <string>

#include "numpy_api.hpp"
#include "warp/filter.hpp"
#include "warp/remap.hpp"
#include "warp/warp.hpp"

namespace trelvane::py {

namespace {

std::uint64_t dim(PyArrayObject* a, int axis) {
    return static_cast<std::uint64_t>(PyArray_DIM(a, axis));
}

Filter filter_named(std::string_view name) {
    const auto filter = parse_filter(name);
    if (!filter) raise(PyExc_ValueError, unknown_filter_message(name).c_str());
    return *filter;
}

std::string_view filter_argument(PyObject* value) {
    return value ? converting("filter", [&] { return to_utf8(value); }) : "bilinear";
}

PyArrayObject* float_map(PyObject* value, const char* name) {
    if (PyArrayObject* map = as_array(value, 2, NPY_FLOAT)) return map;
    try {
        raise_wrong_type(value, "ndarray");
    } catch (const PythonError&) {
        add_argument_note(name);  // the first note, as for every conversion
        throw_with_array_note(name, "a 2-D float32 array", value);
    }
}

// ---- remap_gray, remap_rgb ----

constexpr const char* remap_parameters[] = {"src", "map_x", "map_y", "filter"};
constexpr ArgumentSpec remap_gray_signature{"remap_gray", remap_parameters, 3, 0, {}};
constexpr ArgumentSpec remap_rgb_signature{"remap_rgb", remap_parameters, 3, 0, {}};

template <class T, int C>
PyObject* run_remap(PyArrayObject* src, PyArrayObject* map_x, PyArrayObject* map_y, Filter filter) {
    const std::uint64_t out_height = dim(map_x, 0), out_width = dim(map_x, 1);
    const ResultShape shape = C == 1 ? result_shape({out_height, out_width}, sizeof(T))
                                     : result_shape({out_height, out_width, C}, sizeof(T));
    const RowMajor<T> source(src);
    const RowMajor<float> xs(map_x), ys(map_y);
    Checked<Buffer<T>> result = [&] {
        Detached detached;
        return remap_image<T, C>(source.samples, dim(src, 1), dim(src, 0), xs.samples, ys.samples,
                                 out_width, out_height, filter);
    }();
    return array_owning(value_or_fail(std::move(result), "the buffer lengths come from the arrays' own shapes"),
                        shape);
}

// What the sources of C channels must be, in the words of the notes.
constexpr const char* source_expected(int channels) {
    return channels == 1 ? "a 2-D uint8 or uint16 array" : "a (height, width, 3) uint8 or uint16 array";
}

template <int C>
PyObject* remap(const ArgumentSpec& signature, const char* wrong_source, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[4];
    parse_arguments(signature, args, nargs, kwnames, slots);
    require_numpy();
    PyArrayObject* map_x = float_map(slots[1], "map_x");
    PyArrayObject* map_y = float_map(slots[2], "map_y");
    const Filter filter = filter_named(filter_argument(slots[3]));

    constexpr int ndim = C == 1 ? 2 : 3;
    constexpr npy_intp last = C == 1 ? 0 : C;
    PyArrayObject* src8 = as_array(slots[0], ndim, NPY_UBYTE, last);
    PyArrayObject* src16 = src8 ? nullptr : as_array(slots[0], ndim, NPY_USHORT, last);
    if (!src8 && !src16) raise_wrong_array(PyExc_TypeError, wrong_source, "src", source_expected(C), slots[0]);
    if (!PyArray_SAMESHAPE(map_x, map_y))
        raise(PyExc_ValueError, "map_x and map_y must have the same shape");
    return src8 ? run_remap<std::uint8_t, C>(src8, map_x, map_y, filter)
                : run_remap<std::uint16_t, C>(src16, map_x, map_y, filter);
}

// ---- warp_rgb ----

constexpr const char* warp_parameters[] = {"src",   "inverse", "scale",   "off_x",
                                           "off_y", "filter",  "out_size"};
constexpr ArgumentSpec warp_signature{"warp_rgb", warp_parameters, 5, 0, {}};

Homography homography_argument(PyObject* value) {
    if (!PySequence_Check(value)) raise_wrong_type(value, "Sequence");
    const Py_ssize_t length = PySequence_Size(value);
    check_python(length >= 0);
    if (length != 9) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %d (got %zd)", 9, length);
        throw PythonError{};
    }
    Homography H;
    for (Py_ssize_t k = 0; k < 9; ++k) H[k] = to_double(checked(PySequence_GetItem(value, k)).get());
    return H;
}

struct OutputSize {
    std::uint64_t width, height;
};

OutputSize size_argument(PyObject* value) {
    if (!PyTuple_Check(value)) raise_wrong_type(value, "tuple");
    const Py_ssize_t length = PyTuple_GET_SIZE(value);
    if (length != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length %d, but got tuple of length %zd", 2,
                     length);
        throw PythonError{};
    }
    const auto element = [&](Py_ssize_t k) {
        Ref index = checked(PyNumber_Index(PyTuple_GET_ITEM(value, k)));
        const unsigned long long n = PyLong_AsUnsignedLongLong(index.get());
        check_python(!(n == static_cast<unsigned long long>(-1) && PyErr_Occurred()));
        return static_cast<std::uint64_t>(n);
    };
    return {element(0), element(1)};
}

template <class T>
PyObject* run_warp(PyArrayObject* src, OutputSize size, const Homography& H, double scale,
                   double off_x, double off_y, Filter filter) {
    const ResultShape shape = result_shape({size.height, size.width, 3}, sizeof(T));
    const RowMajor<T> source(src);
    Checked<Buffer<T>> result = [&] {
        Detached detached;
        return warp_image<T>(source.samples, dim(src, 1), dim(src, 0), size.width, size.height, H,
                             scale, off_x, off_y, filter);
    }();
    return array_owning(value_or_fail(std::move(result), "the buffer length comes from the array's own shape"),
                        shape);
}

PyObject* warp(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[7];
    parse_arguments(warp_signature, args, nargs, kwnames, slots);
    require_numpy();
    const Homography H = converting("inverse", [&] { return homography_argument(slots[1]); });
    const double scale = converting("scale", [&] { return to_double(slots[2]); });
    const double off_x = converting("off_x", [&] { return to_double(slots[3]); });
    const double off_y = converting("off_y", [&] { return to_double(slots[4]); });
    const std::string_view filter_name = filter_argument(slots[5]);
    std::optional<OutputSize> size;
    if (slots[6] && slots[6] != Py_None)
        size = converting("out_size", [&] { return size_argument(slots[6]); });
    const Filter filter = filter_named(filter_name);

    PyArrayObject* src8 = as_array(slots[0], 3, NPY_UBYTE, 3);
    PyArrayObject* src16 = src8 ? nullptr : as_array(slots[0], 3, NPY_USHORT, 3);
    if (!src8 && !src16)
        raise_wrong_array(PyExc_TypeError, "warp_rgb expects a (height, width, 3) array of uint8 or uint16",
                          "src", source_expected(3), slots[0]);
    PyArrayObject* src = src8 ? src8 : src16;
    const OutputSize out = size.value_or(OutputSize{dim(src, 1), dim(src, 0)});
    return src8 ? run_warp<std::uint8_t>(src8, out, H, scale, off_x, off_y, filter)
                : run_warp<std::uint16_t>(src16, out, H, scale, off_x, off_y, filter);
}

}  // namespace

PyObject* remap_gray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return remap<1>(remap_gray_signature,
                        "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps",
                        args, nargs, kwnames);
    });
}

PyObject* remap_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        return remap<3>(remap_rgb_signature,
                        "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps",
                        args, nargs, kwnames);
    });
}

PyObject* warp_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return warp(args, nargs, kwnames); });
}

}  // namespace trelvane::py
