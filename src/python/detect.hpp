// The detection entry point: detect(gray, scale=0.8).
#pragma once

#include "frame.hpp"

namespace trelvane::py {

PyObject* detect(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace trelvane::py
