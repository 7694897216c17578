#include "segment_type.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include "shared.hpp"

namespace trelvane::py {

namespace {

struct SegmentObject {
    PyObject_HEAD
    Segment record;
};

const Segment& record_of(PyObject* self) { return reinterpret_cast<SegmentObject*>(self)->record; }

template <double Segment::*Field>
double field(const Segment& s) {
    return s.*Field;
}

// Degrees in (-90, 90]: a segment and its reverse have the same angle.
double angle_of(const Segment& s) {
    double a = std::atan2(s.y2 - s.y1, s.x2 - s.x1) * 57.29577951308232;  // 180 / pi
    if (a > 90) a = a + -180.0;
    if (a <= -90) a = a + 180.0;
    return a;
}

double length_of(const Segment& s) { return std::hypot(s.x2 - s.x1, s.y2 - s.y1); }

template <double (*Value)(const Segment&)>
PyObject* get(PyObject* self, void*) {
    return guarded([&] { return PyFloat_FromDouble(Value(record_of(self))); });
}

PyGetSetDef segment_attributes[] = {
    {"x1", get<field<&Segment::x1>>, nullptr, nullptr, nullptr},
    {"y1", get<field<&Segment::y1>>, nullptr, nullptr, nullptr},
    {"x2", get<field<&Segment::x2>>, nullptr, nullptr, nullptr},
    {"y2", get<field<&Segment::y2>>, nullptr, nullptr, nullptr},
    {"width", get<field<&Segment::width>>, nullptr, nullptr, nullptr},
    {"precision", get<field<&Segment::precision>>, nullptr, nullptr, nullptr},
    {"log_nfa", get<field<&Segment::log_nfa>>, nullptr, nullptr, nullptr},
    {"angle", get<angle_of>, nullptr, "Direction in degrees, -90 to 90, 0 = horizontal.", nullptr},
    {"length", get<length_of>, nullptr, "Length in pixels.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Fixed point with one decimal, correctly rounded (ties to even) from the
// exact binary value. Unlike printf, to_chars ignores the locale and the
// rounding mode.
std::string one_decimal(double v) {
    if (std::isnan(v)) return "NaN";  // whatever its sign bit
    char text[320];                   // the largest double has 309 integer digits
    const auto [end, error] = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed, 1);
    if (error != std::errc{}) fail("a fixed-point double does not fit its buffer");
    return {text, end};
}

PyObject* segment_repr(PyObject* self) {
    return guarded([&] {
        const Segment& s = record_of(self);
        const std::string text = "Segment((" + one_decimal(s.x1) + ", " + one_decimal(s.y1) + ")-(" +
                                 one_decimal(s.x2) + ", " + one_decimal(s.y2) +
                                 "), width=" + one_decimal(s.width) + ")";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyType_Slot segment_slots[] = {
    {Py_tp_doc, const_cast<char*>("One detected line segment, in input-image coordinates.")},
    {Py_tp_getset, segment_attributes},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (no subclasses) and no Py_TPFLAGS_HAVE_GC: the
// object holds no references.
PyType_Spec segment_definition{
    "trelvane.Segment", sizeof(SegmentObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    segment_slots};

std::atomic<PyObject*> created_type{nullptr};
PyMutex type_mutex;

}  // namespace

PyObject* segment_type() {
    return once_per_process(created_type, type_mutex, [] { return PyType_FromSpec(&segment_definition); });
}

PyObject* new_segment(const Segment& record) {
    auto* type = reinterpret_cast<PyTypeObject*>(segment_type());
    PyObject* object = type->tp_alloc(type, 0);
    check_python(object != nullptr);
    reinterpret_cast<SegmentObject*>(object)->record = record;
    return object;
}

}  // namespace trelvane::py
