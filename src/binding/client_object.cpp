#include "binding/client_object.hpp"

#include <cstring>
#include <string_view>

namespace zelto::binding {
namespace {

// The classes a pickled client may name.
constexpr const char* kRestorable[] = {"ZeltoClient",        "ZeltoShmClient",
                                       "ZeltoHybridClient",  "aio.ZeltoClient",
                                       "aio.ZeltoShmClient", "aio.ZeltoHybridClient"};
// The asyncio clients are named with this prefix.
constexpr std::string_view kAioPrefix = "aio.";

// _restore_client(class_name, arguments): class_name(**arguments).
PyObject* restore_client(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        const char* name = nullptr;
        PyObject* arguments = nullptr;
        if (!PyArg_ParseTuple(args, "sO!:_restore_client", &name, &PyDict_Type, &arguments))
            return nullptr;
        bool known = false;
        for (const char* restorable : kRestorable)
            known = known || std::strcmp(name, restorable) == 0;
        if (!known) {
            PyErr_Format(PyExc_TypeError, "_restore_client() cannot make a '%s'", name);
            return nullptr;
        }
        const bool aio = std::string_view(name).starts_with(kAioPrefix);
        PyRef module = PyRef::steal(PyImport_ImportModule(aio ? "zelto_sdk.aio" : "zelto_sdk"));
        if (!module) return nullptr;
        PyRef type = PyRef::steal(
            PyObject_GetAttrString(module.get(), aio ? name + kAioPrefix.size() : name));
        if (!type) return nullptr;
        PyRef none = PyRef::steal(PyTuple_New(0));
        if (!none) return nullptr;
        return PyObject_Call(type.get(), none.get(), arguments);
    });
}

PyMethodDef kRestoreClient{"_restore_client", restore_client, METH_VARARGS,
                           "_restore_client(class_name, arguments)\n--\n\n"};

}  // namespace

PyObject* arguments_by_name(const Signature& signature, const BoundArguments& bound) {
    PyRef arguments = PyRef::steal(PyDict_New());
    if (!arguments) return nullptr;
    for (size_t i = 0; i < signature.parameters.size(); ++i) {
        if (!bound.filled(i)) continue;
        if (PyDict_SetItemString(arguments.get(), signature.parameters[i].name, bound[i]) < 0)
            return nullptr;
    }
    return arguments.release();
}

PyObject* restore_client_function() {
    // One object for the life of the process: pickle checks that the name it stores finds the
    // very function it was given.
    static PyObject* function = nullptr;
    if (function == nullptr) {
        PyRef module_name = PyRef::steal(PyUnicode_FromString("zelto_sdk"));
        if (!module_name) return nullptr;
        function = PyCFunction_NewEx(&kRestoreClient, nullptr, module_name.get());
        if (function == nullptr) return nullptr;
    }
    Py_INCREF(function);
    return function;
}

PyObject* client_repr(const char* class_name, std::initializer_list<PyObject*> values) {
    PyRef text = PyRef::steal(PyUnicode_FromFormat("%s(", class_name));
    bool first = true;
    for (PyObject* value : values) {
        if (!text) return nullptr;
        PyRef shown =
            PyRef::steal(value != nullptr ? PyObject_Repr(value) : PyUnicode_FromString("None"));
        if (!shown) return nullptr;
        text =
            PyRef::steal(PyUnicode_FromFormat(first ? "%U%U" : "%U, %U", text.get(), shown.get()));
        first = false;
    }
    if (!text) return nullptr;
    return PyUnicode_FromFormat("%U)", text.get());
}

}  // namespace zelto::binding
