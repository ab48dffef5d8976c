// Module entry point (being built out).
#include <Python.h>

static PyModuleDef zelto_module = {PyModuleDef_HEAD_INIT, "zelto_sdk", "", 0, nullptr,
                                   nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_zelto_sdk(void) { return PyModule_Create(&zelto_module); }
