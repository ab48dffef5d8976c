// The module zelto_sdk.aio: registered in sys.modules when zelto_sdk is initialised, so that
// `import zelto_sdk.aio` finds it, and reached as zelto_sdk.aio through zelto_sdk's __getattr__.
// Its classes are made when first looked up (its own __getattr__), so importing zelto_sdk costs
// no more than before.
#include <Python.h>

#include <cstring>

#include "binding/aio_types.hpp"
#include "binding/exceptions.hpp"
#include "binding/py_ref.hpp"

namespace zelto::binding::aio {
namespace {

constexpr const char* kName = "zelto_sdk.aio";

struct ClassEntry {
    const char* name;
    PyObject* (*type)();
};
constexpr ClassEntry kClasses[] = {
    {"ZeltoClient", zelto_client_type},
    {"ZeltoShmClient", shm_client_type},
    {"ZeltoHybridClient", hybrid_client_type},
};

PyObject* module_getattr(PyObject* self, PyObject* name) {
    return guarded([&]() -> PyObject* {
        if (PyUnicode_Check(name)) {
            for (const ClassEntry& entry : kClasses) {
                if (PyUnicode_CompareWithASCIIString(name, entry.name) != 0) continue;
                PyObject* type = entry.type();
                if (type == nullptr) return nullptr;
                // Kept as an attribute: later lookups find it without this hook.
                if (PyObject_SetAttr(self, name, type) < 0) return nullptr;
                return Py_NewRef(type);
            }
        }
        PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", kName, name);
        return nullptr;
    });
}

PyMethodDef module_functions[] = {
    {"__getattr__", module_getattr, METH_O, "__getattr__(name, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    kName,
    "asyncio clients: the inference methods return awaitables",
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* module_object = nullptr;

// __spec__ (a module spec of its own name, as the import system makes them) and __all__.
bool describe_module(PyObject* module) {
    PyRef bootstrap = PyRef::steal(PyImport_ImportModule("importlib.machinery"));
    if (!bootstrap) return false;
    PyRef spec =
        PyRef::steal(PyObject_CallMethod(bootstrap.get(), "ModuleSpec", "sO", kName, Py_None));
    if (!spec || PyObject_SetAttrString(module, "__spec__", spec.get()) < 0) return false;
    if (PyModule_AddStringConstant(module, "__package__", "zelto_sdk") < 0) return false;
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all) return false;
    for (const ClassEntry& entry : kClasses) {
        PyRef text = PyRef::steal(PyUnicode_FromString(entry.name));
        if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    }
    return PyModule_AddObjectRef(module, "__all__", all.get()) == 0;
}

}  // namespace

PyObject* module() {
    return module_object;
}

bool register_module() {
    if (module_object == nullptr) {
        PyRef made = PyRef::steal(PyModule_Create(&module_definition));
        if (!made || !describe_module(made.get())) return false;
        module_object = made.release();
    }
    PyObject* modules = PyImport_GetModuleDict();
    return PyDict_SetItemString(modules, kName, module_object) == 0;
}

}  // namespace zelto::binding::aio
