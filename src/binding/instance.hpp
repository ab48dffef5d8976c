// The layout shared by the module's Python objects (object header, in-use flag, how calls run,
// engine state held by value) and the helpers that create, check and destroy them.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "binding/call_settings.hpp"
#include "binding/in_use.hpp"

namespace zelto::binding {

template <class State>
struct Instance {
    PyObject ob_base;  // the object header: must come first
    InUseFlag in_use;
    CallSettings call;  // fixed at construction: calls on several threads read it at once
    // A client's constructor arguments by parameter name (a dict, or null): what it pickles as.
    PyObject* arguments;
    bool closed;  // set by close(), with the in-use flag held exclusively
    State state;
};

// Allocates an instance of `type` whose calls run under `call` and moves the state into it. Returns
// null with an exception set if the allocation fails; the state is then simply dropped by the
// caller.
template <class State, class... Args>
PyObject* new_instance(PyTypeObject* type, const CallSettings& call, Args&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* object = alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* instance = reinterpret_cast<Instance<State>*>(object);
    try {
        new (&instance->in_use) InUseFlag();
        new (&instance->call) CallSettings(call);
        instance->arguments = nullptr;
        instance->closed = false;
        new (&instance->state) State(std::forward<Args>(args)...);
    } catch (...) {
        // The state was never built: free the memory without running the destructor slot.
        instance->call.~CallSettings();
        instance->in_use.~InUseFlag();
        auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_memory(object);
        Py_DECREF(type);
        throw;
    }
    return object;
}

// tp_dealloc: drops the engine state in place, then frees the object through the type.
template <class State>
void dealloc_instance(PyObject* object) {
    auto* instance = reinterpret_cast<Instance<State>*>(object);
    instance->state.~State();
    Py_XDECREF(instance->arguments);
    instance->call.~CallSettings();
    instance->in_use.~InUseFlag();
    PyTypeObject* type = Py_TYPE(object);
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(object);
    Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// The receiver check of every method: a method taken from the class and called on another
// object is refused with "'T' object cannot be converted to 'CLASS'".
template <class State>
Instance<State>* receiver(PyObject* self, PyObject* type, const char* class_name) {
    if (type != nullptr && PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type)))
        return reinterpret_cast<Instance<State>*>(self);
    PyObject* name = PyType_GetQualName(Py_TYPE(self));
    if (name == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, class_name);
    Py_DECREF(name);
    return nullptr;
}

// Builds a heap type; a failure is an internal invariant failure of the module.
PyObject* create_type(PyType_Spec& spec, const char* class_name);

}  // namespace zelto::binding
