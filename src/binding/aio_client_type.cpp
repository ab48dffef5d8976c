// zelto_sdk.aio.ZeltoClient: the asyncio twin of ZeltoClient. Its inference methods return the
// running loop's futures, which the runtime completes (aio_call.hpp).
#include "aio/socket_client.hpp"
#include "binding/aio_call.hpp"
#include "binding/aio_types.hpp"
#include "binding/arguments.hpp"
#include "binding/bytes_output.hpp"
#include "binding/call_settings.hpp"
#include "binding/client_object.hpp"
#include "binding/conversions.hpp"
#include "binding/exceptions.hpp"
#include "binding/instance.hpp"
#include "binding/method_call.hpp"
#include "binding/out_buffer.hpp"
#include "binding/socket_arguments.hpp"
#include "platform/wait_policy.hpp"

namespace zelto::binding::aio {
namespace {

using zelto::aio::AsyncAnswer;
using zelto::aio::AsyncSocketClient;
using ClientObject = Instance<AsyncSocketClient>;

constexpr Parameter kConstructorParameters[] = {
    {.name = "endpoint", .default_none = true},
    {.name = "protocol", .keyword_only = true, .default_none = true},
    {.name = "host", .keyword_only = true, .default_none = true},
    {.name = "port", .keyword_only = true, .default_none = true},
    {.name = "socket_path", .keyword_only = true, .default_none = true},
    {.name = "pipe_name", .keyword_only = true, .default_none = true},
    {.name = "max_pool_size", .keyword_only = true},
    {.name = "api_token", .keyword_only = true, .default_none = true},
    {.name = kSocketTimeout, .keyword_only = true, .default_none = true},
};
constexpr size_t kFirstCallSetting = 8;
constexpr Signature kConstructor{"ZeltoClient.__new__", kConstructorParameters};

constexpr Signature kInfer{"ZeltoClient.infer", kInferParameters};
constexpr Signature kInferTensor{"ZeltoClient.infer_tensor", kInferParameters};
constexpr Signature kInferBytes{"ZeltoClient.infer_bytes", kInferParameters};
constexpr Signature kInferTensorBytes{"ZeltoClient.infer_tensor_bytes", kInferParameters};
constexpr Signature kInferStream{"ZeltoClient.infer_stream", kInferParameters};
constexpr Signature kInferStreamBytes{"ZeltoClient.infer_stream_bytes", kInferParameters};

constexpr Signature kInferInto{"ZeltoClient.infer_into", kInferIntoParameters};

constexpr MethodClass kClass{zelto_client_type, "ZeltoClient", "aio.ZeltoClient"};

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound;
        if (!bind_arguments(kConstructor, args, kwargs, bound)) return nullptr;
        ConfigArguments arguments;
        if (!convert_config_arguments(bound, arguments)) return nullptr;
        CallSettings call;
        call.every_call_notes = true;
        if (!convert_call_settings(kConstructor, bound, kFirstCallSetting, call)) return nullptr;
        auto config = resolve_client_config(std::move(arguments));
        if (!config) {
            raise_error(config.error());
            return nullptr;
        }
        return with_arguments<AsyncSocketClient>(
            new_instance<AsyncSocketClient>(type, call, std::move(*config)), kConstructor, bound);
    });
}

// What an answer becomes.
enum class Result { List, Tensor, Bytes, TensorBytes, Into };

// One single-shot call: its arguments, and the answer once the engine has it.
class InferCall final : public Call {
public:
    InferArguments arguments;
    PyRef data;  // the input object whose bytes the request borrows
    Result kind = Result::Bytes;
    std::unique_ptr<OutBuffer> out;
    zelto::aio::InferStart start;
    std::optional<AsyncAnswer> answer;

private:
    PyObject* build() override {
        const DecodedTensor& output = answer->output();
        switch (kind) {
            case Result::List:
                return bytes_to_list(output.data);
            case Result::Tensor:
                return tensor_to_tuple(output);
            case Result::Bytes:
                return bytes_copy(output.data);
            case Result::TensorBytes:
                return tensor_tuple_around(bytes_copy(output.data), output);
            case Result::Into:
                return PyLong_FromSize_t(output.data.size());
        }
        return nullptr;
    }
    void raise_failure() override {
        if (out && out->refused()) {
            out->raise_too_long(*out->refused());
            return;
        }
        Call::raise_failure();
    }
};

PyObject* start_infer(const Signature& signature, Result kind, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<AsyncSocketClient>(
        signature, kClass, Use::Mode::Shared, self, args, nargs, kwnames,
        [&](AsyncSocketClient& client, const BoundArguments& bound,
            const RunningCall& running) -> PyObject* {
            auto call = std::make_unique<InferCall>();
            call->kind = kind;
            if (!convert_infer_arguments(bound, call->arguments)) return nullptr;
            call->data = PyRef::borrow(bound[3]);
            if (kind == Result::Into) {
                call->out = std::make_unique<OutBuffer>();
                if (!call->out->take(bound[kOut])) return nullptr;
            }
            if (!open_call(*call, self, running.deadline)) return nullptr;
            zelto::aio::Runtime* runtime = runtime_or_raise();
            if (runtime == nullptr) return nullptr;
            client.start(call->arguments, call->start);
            if (call->alone()) {
                const DataSink* sink = call->out ? &call->out->sink() : nullptr;
                if (auto answer = client.answer_now(call->start, sink, platform::kLoopSpin)) {
                    call->answer.emplace(std::move(*answer));
                    return call->finished_now();
                }
            }
            if (!make_future(*call)) return nullptr;
            return start_call(*runtime, std::move(call),
                              [runtime, &client](InferCall& call) -> asio::awaitable<void> {
                                  const DataSink* sink = call.out ? &call.out->sink() : nullptr;
                                  auto answer = co_await client.infer(
                                      *runtime, call.arguments, sink, *call.control, call.start);
                                  if (answer) {
                                      call.answer.emplace(std::move(*answer));
                                  } else {
                                      call.error = std::move(answer.error());
                                  }
                              });
        });
}

PyObject* client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return start_infer(kInfer, Result::List, self, args, nargs, kw);
}
PyObject* client_infer_tensor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
    return start_infer(kInferTensor, Result::Tensor, self, args, nargs, kw);
}
PyObject* client_infer_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kw) {
    return start_infer(kInferBytes, Result::Bytes, self, args, nargs, kw);
}
PyObject* client_infer_tensor_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
    return start_infer(kInferTensorBytes, Result::TensorBytes, self, args, nargs, kw);
}
PyObject* client_infer_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return start_infer(kInferInto, Result::Into, self, args, nargs, kw);
}

PyObject* open_stream(const Signature& signature, StreamItems items, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<AsyncSocketClient>(
        signature, kClass, Use::Mode::Shared, self, args, nargs, kwnames,
        [&](AsyncSocketClient& client, const BoundArguments& bound,
            const RunningCall& running) -> PyObject* {
            InferArguments arguments;
            if (!convert_infer_arguments(bound, arguments)) return nullptr;
            return new_stream(self, client, std::move(arguments), bound[3], items,
                              running.settings);
        });
}

PyObject* client_infer_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kw) {
    return open_stream(kInferStream, StreamItems::Lists, self, args, nargs, kw);
}
PyObject* client_infer_stream_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kw) {
    return open_stream(kInferStreamBytes, StreamItems::Bytes, self, args, nargs, kw);
}

template <class Text>
PyObject* describe(PyObject* self, Text&& text) {
    return guarded([&]() -> PyObject* {
        ClientObject* client =
            receiver<AsyncSocketClient>(self, zelto_client_type(), "ZeltoClient");
        if (client == nullptr) return nullptr;
        std::string value(text(client->state.config().endpoint));
        return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
    });
}

PyObject* client_protocol(PyObject* self, PyObject*) {
    return describe(self, [](const Endpoint& endpoint) { return endpoint.protocol(); });
}

PyObject* client_endpoint(PyObject* self, PyObject*) {
    return describe(self, [](const Endpoint& endpoint) { return endpoint.display(); });
}

PyObject* client_object_repr(PyObject* self) {
    PyRef endpoint = PyRef::steal(client_endpoint(self, nullptr));
    if (!endpoint) return nullptr;
    return client_repr("ZeltoClient", {endpoint.get()});
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kMethods[] = {
    {"protocol", client_protocol, METH_NOARGS, "protocol($self)\n--\n\n"},
    {"endpoint", client_endpoint, METH_NOARGS, "endpoint($self)\n--\n\n"},
    {"infer", as_method(client_infer), METH_FASTCALL | METH_KEYWORDS,
     "infer($self, model_id, shape, dtype, data, additional_inputs=None, session_id=None)\n--\n\n"},
    {"infer_tensor", as_method(client_infer_tensor), METH_FASTCALL | METH_KEYWORDS,
     "infer_tensor($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None)\n--\n\n"},
    {"infer_stream", as_method(client_infer_stream), METH_FASTCALL | METH_KEYWORDS,
     "infer_stream($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None)\n--\n\n"},
    {"infer_bytes", as_method(client_infer_bytes), METH_FASTCALL | METH_KEYWORDS,
     "infer_bytes($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None)\n--\n\n"},
    {"infer_tensor_bytes", as_method(client_infer_tensor_bytes), METH_FASTCALL | METH_KEYWORDS,
     "infer_tensor_bytes($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None)\n--\n\n"},
    {"infer_stream_bytes", as_method(client_infer_stream_bytes), METH_FASTCALL | METH_KEYWORDS,
     "infer_stream_bytes($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None)\n--\n\n"},
    {"infer_into", as_method(client_infer_into), METH_FASTCALL | METH_KEYWORDS,
     "infer_into($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None, *, out)\n--\n\n"},
    kAsyncCloseMethod<AsyncSocketClient, kClass>,
    kAsyncEnterMethod<AsyncSocketClient, kClass>,
    kAsyncExitMethod<AsyncSocketClient, kClass>,
    kReduceMethod<AsyncSocketClient, kClass>,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("ZeltoClient(endpoint=None, *, protocol=None, host=None, port=None, "
                       "socket_path=None, pipe_name=None, max_pool_size=..., api_token=None, "
                       "socket_timeout=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<AsyncSocketClient>)},
    {Py_tp_repr, reinterpret_cast<void*>(client_object_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"zelto_sdk.aio.ZeltoClient", static_cast<int>(sizeof(ClientObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* zelto_client_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "ZeltoClient");
    return type;
}

}  // namespace zelto::binding::aio
