// The module object: its definition, the class and functions it exports and
// the execution step that adds them, in order, to the module and its __all__.
#include "detect.hpp"
#include "frame.hpp"
#include "resample.hpp"
#include "segment_type.hpp"

namespace trelvane::py {

namespace {

template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef detect_def{
    "detect", fastcall<detect>(), METH_FASTCALL | METH_KEYWORDS,
    "detect(gray, scale=...)\n--\n\n"
    "Find the validated line segments of a grayscale image."};

PyMethodDef warp_rgb_def{
    "warp_rgb", fastcall<warp_rgb>(), METH_FASTCALL | METH_KEYWORDS,
    "warp_rgb(src, inverse, scale, off_x, off_y, filter=\"bilinear\", out_size=None)\n--\n\n"
    "Perspective-warp an RGB image through an inverse homography."};

PyMethodDef remap_rgb_def{
    "remap_rgb", fastcall<remap_rgb>(), METH_FASTCALL | METH_KEYWORDS,
    "remap_rgb(src, map_x, map_y, filter=\"bilinear\")\n--\n\n"
    "Resample an RGB image through a coordinate map: output pixel (x, y)\n"
    "takes its value from source position (map_x[y, x], map_y[y, x])."};

PyMethodDef remap_gray_def{
    "remap_gray", fastcall<remap_gray>(), METH_FASTCALL | METH_KEYWORDS,
    "remap_gray(src, map_x, map_y, filter=\"bilinear\")\n--\n\n"
    "Resample a single-channel image (a mask) through a coordinate map."};

// Appends name to the module's __all__ (created on first use), then sets the
// attribute.
void add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all_names = nullptr;
    check_python(PyObject_GetOptionalAttrString(module, "__all__", &all_names) >= 0);
    Ref names(all_names);
    if (!names) {
        names = checked(PyList_New(0));
        check_python(PyObject_SetAttrString(module, "__all__", names.get()) == 0);
    }
    check_python(PyList_Append(names.get(), name) == 0);
    check_python(PyObject_SetAttr(module, name, value) == 0);
}

void add_type(PyObject* module, PyObject* type) {
    Ref name = checked(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
    add_attribute(module, name.get(), type);
}

void add_function(PyObject* module, PyMethodDef* def) {
    Ref module_name = checked(PyModule_GetNameObject(module));
    Ref function = checked(PyCFunction_NewEx(def, module, module_name.get()));
    Ref name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    add_attribute(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
    PyObject* done = guarded([&] {
        add_type(module, segment_type());
        for (PyMethodDef* def : {&detect_def, &warp_rgb_def, &remap_rgb_def, &remap_gray_def})
            add_function(module, def);
        return Py_NewRef(Py_None);
    });
    if (!done) return -1;
    Py_DECREF(done);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "trelvane",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace trelvane::py

PyMODINIT_FUNC PyInit_trelvane() { return PyModuleDef_Init(&trelvane::py::definition); }
