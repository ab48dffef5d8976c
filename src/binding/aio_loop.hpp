// The event loop's side of the asyncio clients: one bridge per (process, loop), made when a loop
// first starts a call, that receives the calls the runtime finished and hands each its result.
//
// A bridge owns the loop's completion queue and the wake-up stream of a socket pair: the
// runtime writes the writing end, the loop watches the reading end, with add_reader where the
// loop has it (the selector loops, uvloop), else (Windows' proactor loop) through a task that
// awaits sock_recv on it and is started again after each wake-up. Either way the loop's thread
// drains the stream, takes every finished call in one batch and delivers them in order.
#pragma once

#include <Python.h>

#include <memory>

#include "aio/completion_queue.hpp"
#include "binding/py_ref.hpp"

namespace zelto::binding::aio {

// The running loop and its completion queue, or false with an
// exception set (RuntimeError "no running event loop" outside a coroutine).
struct RunningLoop {
    PyRef loop;
    std::shared_ptr<zelto::aio::CompletionQueue> queue;
};
bool running_loop(RunningLoop& out);

// object.name(*args): a new reference, or null with an exception set. (PyObject_CallMethod's
// format would unpack a single tuple argument.)
template <class... Args>
PyObject* call_method(PyObject* object, const char* name, Args... args) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(object, name));
    if (!method) return nullptr;
    return PyObject_CallFunctionObjArgs(method.get(), static_cast<PyObject*>(args)..., nullptr);
}

}  // namespace zelto::binding::aio
