#include "binding/aio_call.hpp"

#include <atomic>

#include "binding/aio_types.hpp"
#include "binding/bytes_output.hpp"
#include "binding/conversions.hpp"
#include "binding/exceptions.hpp"

namespace zelto::binding::aio {
namespace {

// The future's done callback: a cancelled future stops its call on the runtime.
struct CancelHook {
    std::shared_ptr<zelto::aio::CallControl> control;
    zelto::aio::Runtime* runtime;
};

constexpr const char* kHookName = "zelto_sdk.aio.cancel_hook";

void free_hook(PyObject* capsule) {
    delete static_cast<CancelHook*>(PyCapsule_GetPointer(capsule, kHookName));
}

PyObject* on_future_done(PyObject* capsule, PyObject* future) {
    return guarded([&]() -> PyObject* {
        auto* hook = static_cast<CancelHook*>(PyCapsule_GetPointer(capsule, kHookName));
        if (hook == nullptr) return nullptr;
        PyRef cancelled = PyRef::steal(call_method(future, "cancelled"));
        if (!cancelled) return nullptr;
        if (PyObject_IsTrue(cancelled.get())) {
            asio::post(hook->runtime->io(), [control = hook->control] {
                control->stop(platform::WaitStop::Interrupted);
            });
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef kOnFutureDone{"_stop_if_cancelled", on_future_done, METH_O, nullptr};

// The pending exception as an object (normalized), or null when none could be had.
PyRef take_exception() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
}

}  // namespace

zelto::aio::Runtime* runtime_or_raise() {
    auto runtime = zelto::aio::Runtime::get();
    if (runtime) return *runtime;
    raise_error(runtime.error());
    return nullptr;
}

bool open_call(Call& call, PyObject* owner,
               std::optional<zelto::aio::CallControl::Clock::time_point> deadline) {
    RunningLoop loop;
    if (!running_loop(loop)) return false;
    call.loop = std::move(loop.loop);
    call.owner = PyRef::borrow(owner);
    call.queue = std::move(loop.queue);
    call.control = std::make_shared<zelto::aio::CallControl>(deadline);
    return true;
}

bool prepare_call(Call& call, PyObject* owner,
                  std::optional<zelto::aio::CallControl::Clock::time_point> deadline) {
    return open_call(call, owner, deadline) && make_future(call);
}

bool make_future(Call& call) {
    zelto::aio::Runtime* runtime = runtime_or_raise();
    if (runtime == nullptr) return false;
    call.future = PyRef::steal(call_method(call.loop.get(), "create_future"));
    if (!call.future) return false;
    auto* hook = new CancelHook{call.control, runtime};
    PyRef capsule = PyRef::steal(PyCapsule_New(hook, kHookName, free_hook));
    if (!capsule) {
        delete hook;
        return false;
    }
    PyRef callback = PyRef::steal(PyCFunction_New(&kOnFutureDone, capsule.get()));
    if (!callback) return false;
    PyRef added = PyRef::steal(call_method(call.future.get(), "add_done_callback", callback.get()));
    if (!added) call.future = PyRef();
    return static_cast<bool>(added);
}

PyObject* build_output(OutputKind kind, std::span<const uint8_t> data, OutBuffer* out) {
    switch (kind) {
        case OutputKind::List:
            return bytes_to_list(data);
        case OutputKind::Bytes:
            return bytes_copy(data);
        case OutputKind::Into:
            return out->copy(data);
    }
    return nullptr;
}

namespace {
// Calls alive in this process: from their making until their delivery (or, for a call whose
// loop is gone, for good).
std::atomic<int> live_calls{0};
}  // namespace

Call::Call() {
    live_calls.fetch_add(1, std::memory_order_relaxed);
}

Call::~Call() {
    live_calls.fetch_sub(1, std::memory_order_relaxed);
}

bool Call::alone() const {
    return live_calls.load(std::memory_order_relaxed) == 1;
}

PyObject* Call::finished_now() {
    PyRef result;
    if (!error) result = PyRef::steal(build());
    if (error) raise_failure();
    if (result) return awaiting_finished(result.release(), nullptr);
    PyRef exception = take_exception();
    if (!exception) return nullptr;
    return awaiting_finished(nullptr, exception.release());
}

void Call::raise_failure() {
    raise_error(*error);
}

PyObject* done_future(PyObject* value) {
    RunningLoop loop;
    if (!running_loop(loop)) return nullptr;
    PyRef future = PyRef::steal(call_method(loop.loop.get(), "create_future"));
    if (!future) return nullptr;
    PyRef set = PyRef::steal(call_method(future.get(), "set_result", value));
    if (!set) return nullptr;
    return future.release();
}

void Call::deliver() {
    PyRef done = PyRef::steal(call_method(future.get(), "done"));
    if (!done) return;
    if (PyObject_IsTrue(done.get())) return;  // cancelled: nobody waits for the result
    PyRef result;
    if (!error) result = PyRef::steal(build());
    if (error) raise_failure();
    if (result) {
        PyRef set = PyRef::steal(call_method(future.get(), "set_result", result.get()));
        return;
    }
    PyRef exception = take_exception();
    if (!exception) return;
    PyRef set = PyRef::steal(call_method(future.get(), "set_exception", exception.get()));
}

}  // namespace zelto::binding::aio
