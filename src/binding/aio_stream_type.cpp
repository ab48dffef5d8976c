// The asynchronous iterator of zelto_sdk.aio.ZeltoClient's infer_stream and infer_stream_bytes:
// each step awaits the stream's next frame on the runtime; the first step also connects and
// sends the request.
#include "aio/socket_client.hpp"
#include "binding/aio_call.hpp"
#include "binding/aio_types.hpp"
#include "binding/bytes_output.hpp"
#include "binding/conversions.hpp"
#include "binding/exceptions.hpp"
#include "binding/instance.hpp"

namespace zelto::binding::aio {
namespace {

using zelto::aio::AsyncConnection;
using zelto::aio::AsyncSocketClient;

struct StreamState {
    PyRef owner;  // the client
    AsyncSocketClient* client = nullptr;
    InferArguments arguments;  // until the request is sent
    PyRef data;
    StreamItems items = StreamItems::Lists;
    std::optional<AsyncConnection> connection;  // once the request is sent
    // Once the end frame was read, or a step was stopped mid-frame, further steps end at once.
    bool ended = false;
    bool stepping = false;  // one step at a time
    // The loop's side only: a step was cancelled, which ends the stream (its connection is
    // closed), even before the runtime has finished that step.
    bool cancelled = false;
    PyRef step_future;  // the current step's future (loop's side)
};

using StreamObject = Instance<StreamState>;
PyObject* stream_type();

// One step: the next frame, or StopAsyncIteration at the end.
class StepCall final : public Call {
public:
    ~StepCall() override {
        if (state != nullptr) state->stepping = false;
    }
    StreamState* state = nullptr;
    FrameResult frame = std::unexpected(Error{});

private:
    PyObject* build() override {
        const std::optional<DecodedTensor>& item = *frame;
        if (!item) {
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        }
        return state->items == StreamItems::Bytes ? bytes_copy(item->data)
                                                  : bytes_to_list(item->data);
    }
};

asio::awaitable<void> step(zelto::aio::Runtime& runtime, StepCall& call) {
    StreamState& state = *call.state;
    if (!state.connection) {
        auto opened = co_await state.client->open_stream(runtime, state.arguments, *call.control);
        if (!opened) {
            state.ended = true;
            call.error = std::move(opened.error());
            co_return;
        }
        state.connection.emplace(std::move(*opened));
    }
    call.frame =
        co_await zelto::aio::read_stream_item(runtime, *state.connection, *call.control, nullptr);
    if (call.frame && !*call.frame) state.ended = true;
    if (!call.frame) {
        if (call.frame.error().abandoned_exchange()) {
            state.connection.reset();
            state.ended = true;
        }
        call.error = call.frame.error();
    }
}

PyObject* stream_aiter(PyObject* self) {
    return Py_NewRef(self);
}

PyObject* stream_anext(PyObject* self) {
    return guarded([&]() -> PyObject* {
        StreamObject* stream = receiver<StreamState>(self, stream_type(), "StreamIterator");
        if (stream == nullptr) return nullptr;
        StreamState& state = stream->state;
        if (state.stepping && !state.cancelled && state.step_future) {
            PyRef cancelled = PyRef::steal(call_method(state.step_future.get(), "cancelled"));
            if (!cancelled) return nullptr;
            state.cancelled = PyObject_IsTrue(cancelled.get()) == 1;
        }
        if (state.cancelled) {
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        }
        if (state.stepping) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return nullptr;
        }
        auto call = std::make_unique<StepCall>();
        call->state = &state;
        const RunningCall running(stream->call);
        if (!prepare_call(*call, self, running.deadline)) return nullptr;
        if (state.ended) {
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return nullptr;
        }
        zelto::aio::Runtime* runtime = runtime_or_raise();
        if (runtime == nullptr) return nullptr;
        state.stepping = true;
        state.step_future = PyRef::borrow(call->future.get());
        return start_call(*runtime, std::move(call),
                          [runtime](StepCall& call) { return step(*runtime, call); });
    });
}

PyObject* stream_new_refused(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for StreamIterator");
    return nullptr;
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new_refused)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<StreamState>)},
    {Py_am_aiter, reinterpret_cast<void*>(stream_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(stream_anext)},
    {0, nullptr},
};

PyType_Spec kSpec = {"zelto_sdk.aio.StreamIterator", static_cast<int>(sizeof(StreamObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

PyObject* stream_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "StreamIterator");
    return type;
}

}  // namespace

PyObject* new_stream(PyObject* owner, AsyncSocketClient& client, InferArguments arguments,
                     PyObject* data, StreamItems items, const CallSettings& settings) {
    PyObject* type = stream_type();
    if (type == nullptr) return nullptr;
    PyObject* object = new_instance<StreamState>(reinterpret_cast<PyTypeObject*>(type), settings);
    if (object == nullptr) return nullptr;
    StreamState& state = reinterpret_cast<StreamObject*>(object)->state;
    state.owner = PyRef::borrow(owner);
    state.client = &client;
    state.arguments = std::move(arguments);
    state.data = PyRef::borrow(data);
    state.items = items;
    return object;
}

}  // namespace zelto::binding::aio
