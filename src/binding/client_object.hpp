// What the three client classes share beyond their calls: the constructor's arguments kept for
// pickling and copying, close() and the with statement.
//
// A client pickles as its class name and its constructor's arguments, and nothing else: no
// connection, mapping or runtime crosses into the copy, which opens its own when first used. The
// classes' __module__ is "builtins", where pickle cannot find them, so the copy is made by a
// function of this module, zelto_sdk._restore_client, which the module's __getattr__ gives out
// (it is no attribute of the module itself).
#pragma once

#include <Python.h>

#include <initializer_list>
#include <memory>
#include <optional>

#include "binding/arguments.hpp"
#include "binding/exceptions.hpp"
#include "binding/in_use.hpp"
#include "binding/instance.hpp"
#include "binding/method_call.hpp"
#include "binding/py_ref.hpp"
#include "transport/socket_client.hpp"

namespace zelto::binding {

// Lets go of what an engine holds: connections, the hybrid runtime, the mapped region.
template <class Engine>
requires requires(Engine& engine) {
    engine.close();
}
void close_engine(Engine& engine) {
    engine.close();
}
template <class Engine>
void close_engine(std::optional<Engine>& engine) {
    engine.reset();
}
template <class Engine>
void close_engine(std::unique_ptr<Engine>& engine) {
    engine.reset();
}

// A dict of the bound arguments by parameter name (those given, None ones too), or null with
// an exception set.
PyObject* arguments_by_name(const Signature& signature, const BoundArguments& bound);

// The function that makes a client anew from its class name and arguments (a new reference), or
// null with an exception set.
PyObject* restore_client_function();

// Keeps `signature`'s bound arguments in the new client `object` (a new reference, or null); on
// failure the client is dropped and null returned with the exception set.
template <class State>
PyObject* with_arguments(PyObject* object, const Signature& signature,
                         const BoundArguments& bound) {
    if (object == nullptr) return nullptr;
    PyObject* arguments = arguments_by_name(signature, bound);
    if (arguments == nullptr) {
        Py_DECREF(object);
        return nullptr;
    }
    reinterpret_cast<Instance<State>*>(object)->arguments = arguments;
    return object;
}

// close(): waits for the calls in flight on other threads, then lets go of the engine; later
// calls raise RuntimeError "Client is closed". Closing again does nothing.
template <class State, const MethodClass& Class>
PyObject* close_client(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Instance<State>* object = receiver<State>(self, Class.type(), Class.name);
        if (object == nullptr) return nullptr;
        Use use(object->in_use, Use::Mode::Exclusive);
        if (!use.ok()) return nullptr;
        if (!object->closed) {
            close_engine(object->state);
            object->closed = true;
        }
        Py_RETURN_NONE;
    });
}

// __enter__: the client itself.
template <class State, const MethodClass& Class>
PyObject* enter_client(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (receiver<State>(self, Class.type(), Class.name) == nullptr) return nullptr;
        Py_INCREF(self);
        return self;
    });
}

// __exit__(type, value, traceback): closes the client and lets any exception go on.
template <class State, const MethodClass& Class>
PyObject* exit_client(PyObject* self, PyObject*) {
    PyObject* closed = close_client<State, Class>(self, nullptr);
    if (closed == nullptr) return nullptr;
    Py_DECREF(closed);
    Py_RETURN_FALSE;
}

// __reduce__: (zelto_sdk._restore_client, (class name, arguments)).
template <class State, const MethodClass& Class>
PyObject* reduce_client(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        Instance<State>* object = receiver<State>(self, Class.type(), Class.name);
        if (object == nullptr) return nullptr;
        PyRef restore = PyRef::steal(restore_client_function());
        if (!restore) return nullptr;
        PyRef arguments = PyRef::steal(object->arguments != nullptr ? PyDict_Copy(object->arguments)
                                                                    : PyDict_New());
        if (!arguments) return nullptr;
        const char* name = Class.pickled_as != nullptr ? Class.pickled_as : Class.name;
        return Py_BuildValue("(O(sO))", restore.get(), name, arguments.get());
    });
}

// The methods above as a class's method table entries.
template <class State, const MethodClass& Class>
constexpr PyMethodDef kCloseMethod{"close", close_client<State, Class>, METH_NOARGS,
                                   "close($self)\n--\n\n"};
template <class State, const MethodClass& Class>
constexpr PyMethodDef kEnterMethod{"__enter__", enter_client<State, Class>, METH_NOARGS,
                                   "__enter__($self)\n--\n\n"};
template <class State, const MethodClass& Class>
constexpr PyMethodDef kExitMethod{"__exit__", exit_client<State, Class>, METH_VARARGS,
                                  "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"};
template <class State, const MethodClass& Class>
constexpr PyMethodDef kReduceMethod{"__reduce__", reduce_client<State, Class>, METH_NOARGS,
                                    "__reduce__($self)\n--\n\n"};

// "Name(repr(v1), repr(v2), ...)": how a client shows its endpoint or region (never its token).
PyObject* client_repr(const char* class_name, std::initializer_list<PyObject*> values);

// The constructor argument `name` of a client, borrowed, or null when it was not given.
template <class State>
PyObject* argument(PyObject* self, const char* name) {
    PyObject* arguments = reinterpret_cast<Instance<State>*>(self)->arguments;
    return arguments != nullptr ? PyDict_GetItemString(arguments, name) : nullptr;
}

}  // namespace zelto::binding
