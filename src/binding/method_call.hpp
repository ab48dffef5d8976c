// The common front of the module's keyword-taking methods: argument binding, the receiver check
// and the in-use flag, in that order, all inside the interpreter boundary.
#pragma once

#include <Python.h>

#include <utility>

#include "binding/arguments.hpp"
#include "binding/call_settings.hpp"
#include "binding/exceptions.hpp"
#include "binding/in_use.hpp"
#include "binding/instance.hpp"
#include "binding/python_log.hpp"

namespace zelto::binding {

// What a call on a client that was closed raises (RuntimeError).
inline constexpr const char* kClientClosed = "Client is closed";

// The class a method belongs to. `type` is the class's getter: it is called inside the boundary
// because the first call creates the type.
struct MethodClass {
    PyObject* (*type)();
    const char* name;  // shown when the method is called on an object of another class
    // What a pickled object names its class by (zelto_sdk._restore_client), when not `name`.
    const char* pickled_as = nullptr;
};

// Runs `body(state, bound, call)` for a vectorcall method of `owner`, holding the object's in-use
// flag in `mode` for the whole body; `call` is this call under the object's settings
// (engine_call), begun before the wait for the flag, which its deadline bounds.
template <class State, class Body>
PyObject* call_method(const Signature& signature, const MethodClass& owner, Use::Mode mode,
                      PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Body&& body) {
    return guarded([&]() -> PyObject* {
        DebugNotesOfCall notes;
        BoundArguments bound;
        if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
        Instance<State>* object = receiver<State>(self, owner.type(), owner.name);
        if (object == nullptr) return nullptr;
        const RunningCall call(object->call);
        Use use(object->in_use, mode, call.deadline);
        if (!use.ok()) return nullptr;
        if (object->call.every_call_notes) notes.take_every_call();
        if (object->closed) {
            PyErr_SetString(PyExc_RuntimeError, kClientClosed);
            return nullptr;
        }
        return body(object->state, bound, call);
    });
}

}  // namespace zelto::binding
