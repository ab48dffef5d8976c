// The extension module zelto_sdk: its initialisation and the registration of its classes.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/aio_types.hpp"
#include "binding/client_object.hpp"
#include "binding/exceptions.hpp"
#include "binding/interpreter_exit.hpp"
#include "binding/py_ref.hpp"
#include "binding/types.hpp"

namespace zelto::binding {
namespace {

// The module's __getattr__ (consulted only for names the module does not have): gives out the
// function that unpickles clients, which is no attribute of its own.
PyObject* module_getattr(PyObject* module, PyObject* name) {
    return guarded([&]() -> PyObject* {
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "_restore_client") == 0)
            return restore_client_function();
        if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "aio") == 0) {
            PyObject* aio = aio::module();
            if (aio != nullptr) return Py_NewRef(aio);
        }
        PyErr_Format(PyExc_AttributeError, "module 'zelto_sdk' has no attribute '%U'", name);
        (void)module;
        return nullptr;
    });
}

PyMethodDef module_functions[] = {
    {"__getattr__", module_getattr, METH_O, "__getattr__(name, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zelto_sdk",       // m_name
    "",                // m_doc
    0,                 // m_size: no per-module state
    module_functions,  // m_methods: the module's __getattr__
    nullptr,           // m_slots
    nullptr,           // m_traverse
    nullptr,           // m_clear
    nullptr,           // m_free
};

constexpr int64_t kNoInterpreter = -1;

// The interpreter that first initialised the module. The types and the internal-failure
// exception are process-wide objects of that interpreter, so no other may use them.
std::atomic<int64_t> owner_interpreter{kNoInterpreter};

// The module object, kept so that a later initialisation in the same interpreter (after the
// module was removed from sys.modules) returns the same object.
PyObject* module_object = nullptr;

struct ClassEntry {
    const char* name;
    PyObject* (*type)();
};

// In the order in which they appear in the module and in __all__.
constexpr ClassEntry kClasses[] = {
    {"ZeltoClient", zelto_client_type},
    {"ZeltoShmClient", shm_client_type},
    {"ZeltoHybridClient", hybrid_client_type},
};

bool append_to_all(PyObject* module, const char* name) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all.get(), text.get()) == 0;
}

bool add_class(PyObject* module, const ClassEntry& entry) {
    PyObject* type = entry.type();
    if (type == nullptr) return false;
    return append_to_all(module, entry.name) &&
           PyModule_AddObjectRef(module, entry.name, type) == 0;
}

// Claims the module for the calling interpreter; any other interpreter is refused.
bool claim_interpreter() {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return false;
    int64_t expected = kNoInterpreter;
    if (owner_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "zelto_sdk does not support sub-interpreters: it can only be imported in the "
                    "interpreter that imported it first");
    return false;
}

PyObject* initialise() {
    if (!claim_interpreter()) return nullptr;
    if (module_object != nullptr) {
        Py_INCREF(module_object);
        return module_object;
    }
    PyRef module = PyRef::steal(PyModule_Create(&module_definition));
    if (!module) return nullptr;
    for (const ClassEntry& entry : kClasses)
        if (!add_class(module.get(), entry)) return nullptr;
    if (PyModule_AddStringConstant(module.get(), "__version__", ZELTO_VERSION) < 0) return nullptr;
    if (!watch_interpreter_exit()) return nullptr;
    if (!aio::register_module()) return nullptr;
    module_object = module.get();
    Py_INCREF(module_object);
    return module.release();
}

}  // namespace
}  // namespace zelto::binding

PyMODINIT_FUNC PyInit_zelto_sdk(void) {
    return zelto::binding::guarded([] { return zelto::binding::initialise(); });
}
