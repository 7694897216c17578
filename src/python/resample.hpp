// The resampling entry points: remap_gray, remap_rgb, warp_rgb.
#pragma once

#include "frame.hpp"

namespace trelvane::py {

PyObject* remap_gray(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* remap_rgb(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* warp_rgb(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace trelvane::py
