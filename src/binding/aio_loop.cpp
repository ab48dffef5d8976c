#include "binding/aio_loop.hpp"

#include <array>
#include <cstdint>
#include <utility>

#include "binding/exceptions.hpp"
#include "binding/instance.hpp"
#include "binding/py_ref.hpp"
#include "platform/fork.hpp"
#include "platform/nonblocking_socket.hpp"

namespace zelto::binding::aio {
namespace {

using zelto::aio::Completion;
using zelto::aio::CompletionQueue;

struct BridgeObject {
    PyObject ob_base;
    std::shared_ptr<CompletionQueue> queue;
    PyObject* loop_ref;     // a weak reference to the loop
    PyObject* read_socket;  // the wake-up stream's reading end (a socket.socket)
    intptr_t read_native;   // its descriptor or SOCKET
    uint64_t generation;    // the fork generation of the process that made the bridge
};

PyObject* bridge_type();

PyObject* import_attribute(const char* module_name, const char* name) {
    PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), name);
}

// Delivers every finished call queued so far; an exception a delivery raises is reported as
// unraisable and the others still go.
void deliver_all(CompletionQueue& queue) {
    for (std::unique_ptr<Completion>& completion : queue.take_all()) {
        try {
            completion->deliver();
        } catch (...) {
            PyErr_SetString(PyExc_MemoryError, "out of memory");
        }
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        completion.reset();
    }
}

// Takes every wake-up byte waiting on the reading end.
void drain_wake_ups(BridgeObject* bridge) {
    std::array<uint8_t, 256> bytes;
    for (;;) {
        auto got = platform::try_receive(platform::StreamHandle(bridge->read_native), bytes);
        if (got.error != 0 || got.bytes < bytes.size()) return;
    }
}

// add_reader's callback: the wake-up stream is readable.
PyObject* bridge_wake(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto* bridge = reinterpret_cast<BridgeObject*>(self);
        drain_wake_ups(bridge);
        deliver_all(*bridge->queue);
        Py_RETURN_NONE;
    });
}

bool arm_receive(BridgeObject* bridge, PyObject* loop);

// The proactor's task awaiting the wake-up stream ended: deliver, then wait again unless the
// loop is shutting down (the task was cancelled, or the stream failed).
PyObject* bridge_received(PyObject* self, PyObject* task) {
    return guarded([&]() -> PyObject* {
        auto* bridge = reinterpret_cast<BridgeObject*>(self);
        deliver_all(*bridge->queue);
        PyRef cancelled = PyRef::steal(call_method(task, "cancelled"));
        if (!cancelled) return nullptr;
        if (PyObject_IsTrue(cancelled.get())) Py_RETURN_NONE;
        PyRef failure = PyRef::steal(call_method(task, "exception"));
        if (!failure) return nullptr;
        if (failure.get() != Py_None) Py_RETURN_NONE;
        PyRef loop = PyRef::steal(PyObject_CallNoArgs(bridge->loop_ref));
        if (!loop || loop.get() == Py_None) Py_RETURN_NONE;
        PyRef closed = PyRef::steal(call_method(loop.get(), "is_closed"));
        if (!closed) return nullptr;
        if (PyObject_IsTrue(closed.get())) Py_RETURN_NONE;
        if (!arm_receive(bridge, loop.get())) return nullptr;
        Py_RETURN_NONE;
    });
}

bool arm_receive(BridgeObject* bridge, PyObject* loop) {
    PyRef receive =
        PyRef::steal(PyObject_CallMethod(loop, "sock_recv", "Oi", bridge->read_socket, 4096));
    if (!receive) return false;
    PyRef task = PyRef::steal(call_method(loop, "create_task", receive.get()));
    if (!task) return false;
    PyRef callback =
        PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(bridge), "_received"));
    if (!callback) return false;
    PyRef added = PyRef::steal(call_method(task.get(), "add_done_callback", callback.get()));
    return static_cast<bool>(added);
}

void bridge_dealloc(PyObject* self) {
    auto* bridge = reinterpret_cast<BridgeObject*>(self);
    // The loop is gone: what finished is released here, what finishes later is never touched.
    if (bridge->queue) {
        for (auto& completion : bridge->queue->close()) completion.reset();
    }
    bridge->queue.~shared_ptr();
    Py_XDECREF(bridge->loop_ref);
    if (bridge->read_socket != nullptr) {
        PyRef closed = PyRef::steal(call_method(bridge->read_socket, "close"));
        if (!closed) PyErr_Clear();
        Py_DECREF(bridge->read_socket);
    }
    PyTypeObject* type = Py_TYPE(self);
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(self);
    Py_DECREF(type);
}

PyMethodDef kBridgeMethods[] = {
    {"_wake", bridge_wake, METH_NOARGS, nullptr},
    {"_received", bridge_received, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kBridgeSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(bridge_dealloc)},
    {Py_tp_methods, kBridgeMethods},
    {0, nullptr},
};

PyType_Spec kBridgeSpec = {
    .name = "zelto_sdk.aio._LoopBridge",
    .basicsize = static_cast<int>(sizeof(BridgeObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = kBridgeSlots,
};

PyObject* bridge_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kBridgeSpec, "_LoopBridge");
    return type;
}

// Makes the bridge of `loop`: the socket pair, the queue, and the loop watching the reading end.
PyObject* make_bridge(PyObject* loop) {
    PyObject* type = bridge_type();
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(
        PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type), Py_tp_alloc));
    PyRef object = PyRef::steal(alloc(reinterpret_cast<PyTypeObject*>(type), 0));
    if (!object) return nullptr;
    auto* bridge = reinterpret_cast<BridgeObject*>(object.get());
    new (&bridge->queue) std::shared_ptr<CompletionQueue>();
    bridge->loop_ref = nullptr;
    bridge->read_socket = nullptr;
    bridge->read_native = -1;
    bridge->generation = platform::fork_generation();

    bridge->loop_ref = PyWeakref_NewRef(loop, nullptr);
    if (bridge->loop_ref == nullptr) return nullptr;
    PyRef socketpair = PyRef::steal(import_attribute("socket", "socketpair"));
    if (!socketpair) return nullptr;
    PyRef pair = PyRef::steal(PyObject_CallNoArgs(socketpair.get()));
    if (!pair) return nullptr;
    PyObject* reading = PyTuple_GetItem(pair.get(), 0);
    PyObject* writing = PyTuple_GetItem(pair.get(), 1);
    if (reading == nullptr || writing == nullptr) return nullptr;
    bridge->read_socket = Py_NewRef(reading);
    PyRef fileno = PyRef::steal(call_method(reading, "fileno"));
    if (!fileno) return nullptr;
    bridge->read_native = PyLong_AsSsize_t(fileno.get());
    if (bridge->read_native == -1 && PyErr_Occurred()) return nullptr;
    for (PyObject* end : {reading, writing}) {
        PyRef done = PyRef::steal(call_method(end, "setblocking", Py_False));
        if (!done) return nullptr;
    }
    // The writing end becomes the queue's: only the runtime writes it, and it closes with the
    // queue, so its number is never reused while a runtime thread may still write to it.
    PyRef detached = PyRef::steal(call_method(writing, "detach"));
    if (!detached) return nullptr;
    const Py_ssize_t native = PyLong_AsSsize_t(detached.get());
    if (native == -1 && PyErr_Occurred()) return nullptr;
    bridge->queue = std::make_shared<CompletionQueue>(platform::StreamHandle(native));

    PyRef wake = PyRef::steal(PyObject_GetAttrString(object.get(), "_wake"));
    if (!wake) return nullptr;
    PyRef added = PyRef::steal(call_method(loop, "add_reader", reading, wake.get()));
    if (added) return object.release();
    if (!PyErr_ExceptionMatches(PyExc_NotImplementedError)) return nullptr;
    PyErr_Clear();
    if (!arm_receive(bridge, loop)) return nullptr;
    return object.release();
}

// The bridges by loop, held while their loop lives.
PyObject* bridges() {
    static PyObject* by_loop = nullptr;
    if (by_loop == nullptr) {
        PyRef dictionary_type = PyRef::steal(import_attribute("weakref", "WeakKeyDictionary"));
        if (!dictionary_type) return nullptr;
        by_loop = PyObject_CallNoArgs(dictionary_type.get());
    }
    return by_loop;
}

// The bridge the calling thread used last and a weak reference to its loop: a thread runs one
// loop at a time, so most calls find their bridge here without a dictionary lookup.
struct LastBridge {
    PyObject* loop_ref = nullptr;
    PyObject* bridge = nullptr;
};
thread_local LastBridge last_bridge;

PyObject* cached_bridge(PyObject* loop) {
    if (last_bridge.loop_ref == nullptr || PyWeakref_GetObject(last_bridge.loop_ref) != loop)
        return nullptr;
    auto* bridge = reinterpret_cast<BridgeObject*>(last_bridge.bridge);
    return bridge->generation == platform::fork_generation() ? last_bridge.bridge : nullptr;
}

void remember_bridge(PyObject* loop, PyObject* bridge) {
    PyObject* loop_ref = PyWeakref_NewRef(loop, nullptr);
    if (loop_ref == nullptr) {
        PyErr_Clear();
        return;
    }
    Py_XDECREF(last_bridge.loop_ref);
    Py_XDECREF(last_bridge.bridge);
    last_bridge.loop_ref = loop_ref;
    last_bridge.bridge = Py_NewRef(bridge);
}

}  // namespace

bool running_loop(RunningLoop& out) {
    static PyObject* get_running_loop = nullptr;
    if (get_running_loop == nullptr) {
        get_running_loop = import_attribute("asyncio", "get_running_loop");
        if (get_running_loop == nullptr) return false;
    }
    PyRef loop = PyRef::steal(PyObject_CallNoArgs(get_running_loop));
    if (!loop) return false;
    PyRef bridge = PyRef::borrow(cached_bridge(loop.get()));
    if (!bridge) {
        PyObject* by_loop = bridges();
        if (by_loop == nullptr) return false;
        bridge = PyRef::steal(PyObject_GetItem(by_loop, loop.get()));
        if (bridge && reinterpret_cast<BridgeObject*>(bridge.get())->generation !=
                          platform::fork_generation())
            bridge = PyRef();  // the parent's, inherited through fork
        if (!bridge) {
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_KeyError)) return false;
            PyErr_Clear();
            bridge = PyRef::steal(make_bridge(loop.get()));
            if (!bridge) return false;
            if (PyObject_SetItem(by_loop, loop.get(), bridge.get()) < 0) return false;
        }
        remember_bridge(loop.get(), bridge.get());
    }
    out.queue = reinterpret_cast<BridgeObject*>(bridge.get())->queue;
    out.loop = std::move(loop);
    return true;
}

}  // namespace zelto::binding::aio
