#include "detect.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "detector/detect_segments.hpp"
#include "numpy_api.hpp"
#include "segment_type.hpp"

namespace trelvane::py {

namespace {

constexpr const char* detect_parameters[] = {"gray", "scale"};
constexpr ArgumentSpec detect_signature{"detect", detect_parameters, 1, 0, {}};

double scale_argument(PyObject* value) {
    if (!value) return 0.8;
    const double scale = converting("scale", [&] { return to_double(value); });
    if (scale == 0.0) raise(PyExc_ValueError, "scale must not be zero");
    return scale;
}

// The detector indexes pixels with 32 bits. Checked before the input is
// copied or any other large buffer is made.
void check_working_size(std::uint64_t width, std::uint64_t height, double scale) {
    if (width < 3 || height < 3) return;  // no working image at all
    const ImageSize size = working_size(width, height, scale);
    if (dims_product(size.width, size.height) >= (std::uint64_t{1} << 32))
        raise(PyExc_ValueError, "detect supports working images of fewer than 2**32 pixels");
}

PyObject* segment_list(const std::vector<Segment>& records) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(records.size())));
    for (std::size_t i = 0; i < records.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_segment(records[i]));
    return list.release();
}

template <class T>
PyObject* run_detect(PyArrayObject* gray, double scale) {
    const auto height = static_cast<std::uint64_t>(PyArray_DIM(gray, 0));
    const auto width = static_cast<std::uint64_t>(PyArray_DIM(gray, 1));
    check_working_size(width, height, scale);
    const RowMajor<T> source(gray);
    Checked<std::vector<Segment>> result = [&] {
        Detached detached;
        return detect_segments<T>(source.samples, width, height, scale);
    }();
    return segment_list(value_or_fail(std::move(result), "the buffer length comes from the array's own shape"));
}

PyObject* detect_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2];
    parse_arguments(detect_signature, args, nargs, kwnames, slots);
    const double scale = scale_argument(slots[1]);
    require_numpy();
    PyObject* gray = slots[0];
    if (PyArrayObject* a = as_array(gray, 2, NPY_DOUBLE)) return run_detect<double>(a, scale);
    if (PyArrayObject* a = as_array(gray, 2, NPY_FLOAT)) return run_detect<float>(a, scale);
    if (PyArrayObject* a = as_array(gray, 2, NPY_UBYTE)) return run_detect<std::uint8_t>(a, scale);
    if (PyArrayObject* a = as_array(gray, 2, NPY_USHORT)) return run_detect<std::uint16_t>(a, scale);
    raise_wrong_array(PyExc_TypeError, "detect expects a (height, width) array of uint8, uint16, float32 or float64",
                      "gray", "a 2-D uint8, uint16, float32 or float64 array", gray);
}

}  // namespace

PyObject* detect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return detect_call(args, nargs, kwnames); });
}

}  // namespace trelvane::py
