// The types of zelto_sdk.aio, and what its clients share: close(), async with. Each type is made
// on first need and kept for the life of the process; the getters return borrowed references,
// or null with an exception set.
#pragma once

#include <Python.h>

#include "aio/socket_client.hpp"
#include "binding/aio_call.hpp"
#include "binding/client_object.hpp"
#include "binding/instance.hpp"
#include "binding/method_call.hpp"
#include "binding/out_buffer.hpp"

namespace zelto::binding::aio {

PyObject* zelto_client_type();
PyObject* shm_client_type();
PyObject* hybrid_client_type();

// What a region client's answer becomes: a list of ints, bytes, or its length once copied into
// the caller's buffer.
enum class OutputKind { List, Bytes, Into };
// The result of `kind` for an output in the region (a new reference, or null with the exception
// set): the one copy the call makes of it.
PyObject* build_output(OutputKind kind, std::span<const uint8_t> data, OutBuffer* out);

// The module zelto_sdk.aio, made and registered in sys.modules by the extension's
// initialisation; its classes are made when first looked up. A borrowed reference.
PyObject* module();
bool register_module();

// The stream iterator of infer_stream (items as lists) and infer_stream_bytes (bytes): it opens
// the stream on its first step. `owner` (the client) stays alive with it.
enum class StreamItems { Lists, Bytes };
PyObject* new_stream(PyObject* owner, zelto::aio::AsyncSocketClient& client,
                     InferArguments arguments, PyObject* data, StreamItems items,
                     const CallSettings& settings);

// close(): lets go of the engine at once (calls in flight end on their own connections), and
// returns an awaitable that is already done.
template <class State, const MethodClass& Class>
PyObject* close_async_client(PyObject* self, PyObject*) {
    PyObject* closed = close_client<State, Class>(self, nullptr);
    if (closed == nullptr) return nullptr;
    Py_DECREF(closed);
    return done_future(Py_None);
}

template <class State, const MethodClass& Class>
PyObject* enter_async_client(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        if (receiver<State>(self, Class.type(), Class.name) == nullptr) return nullptr;
        return done_future(self);
    });
}

template <class State, const MethodClass& Class>
PyObject* exit_async_client(PyObject* self, PyObject*) {
    PyObject* closed = close_client<State, Class>(self, nullptr);
    if (closed == nullptr) return nullptr;
    Py_DECREF(closed);
    return done_future(Py_False);
}

template <class State, const MethodClass& Class>
constexpr PyMethodDef kAsyncCloseMethod{"close", close_async_client<State, Class>, METH_NOARGS,
                                        "close($self)\n--\n\n"};
template <class State, const MethodClass& Class>
constexpr PyMethodDef kAsyncEnterMethod{"__aenter__", enter_async_client<State, Class>, METH_NOARGS,
                                        "__aenter__($self)\n--\n\n"};
template <class State, const MethodClass& Class>
constexpr PyMethodDef kAsyncExitMethod{"__aexit__", exit_async_client<State, Class>, METH_VARARGS,
                                       "__aexit__($self, exc_type, exc_value, traceback)\n--\n\n"};

}  // namespace zelto::binding::aio
