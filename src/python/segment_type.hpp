// The Python class Segment: an immutable object around one detector record.
#pragma once

#include "frame.hpp"

#include "detector/segment.hpp"

namespace trelvane::py {

// The class, created once per process on first need (a borrowed reference
// kept for the life of the process); throws PythonError when creation fails.
PyObject* segment_type();

// A new Segment object holding record; throws PythonError when allocation
// fails.
PyObject* new_segment(const Segment& record);

}  // namespace trelvane::py
