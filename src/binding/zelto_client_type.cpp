// ZeltoClient: a blocking socket client over TCP or a local stream endpoint.
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
#include "binding/types.hpp"
#include "transport/config.hpp"
#include "transport/socket_client.hpp"

namespace zelto::binding {

bool convert_config_arguments(const BoundArguments& bound, ConfigArguments& out) {
    if (!convert_optional_text("endpoint", bound[0], out.endpoint) ||
        !convert_optional_text("protocol", bound[1], out.protocol) ||
        !convert_optional_text("host", bound[2], out.host))
        return false;
    if (PyObject* port = bound[3]) {
        uint16_t value = 0;
        if (!convert_argument("port", [&] { return extract_u16(port, value); })) return false;
        out.port = value;
    }
    if (!convert_optional_text("socket_path", bound[4], out.socket_path) ||
        !convert_optional_text("pipe_name", bound[5], out.pipe_name))
        return false;
    if (PyObject* size = bound[6]) {
        if (!convert_argument("max_pool_size",
                              [&] { return extract_u64(size, out.max_pool_size); }))
            return false;
    }
    return convert_optional_text("api_token", bound[7], out.api_token);
}

bool convert_infer_arguments(const BoundArguments& bound, InferArguments& out) {
    if (!convert_argument("model_id", [&] { return extract_u32(bound[0], out.model_id); }) ||
        !convert_argument("shape", [&] { return extract_shape(bound[1], out.input.shape); }) ||
        !convert_argument("dtype", [&] { return extract_text(bound[2], out.input.dtype); }) ||
        !convert_argument("data", [&] { return extract_input_data(bound[3], out.input); }))
        return false;
    if (PyObject* extras = bound[4]) {
        if (!convert_argument("additional_inputs", [&] {
                return extract_additional_inputs(extras, out.additional_inputs);
            }))
            return false;
    }
    return convert_optional_text("session_id", bound[5], out.session_id);
}

namespace {

using ClientObject = Instance<SocketClient>;

constexpr Parameter kConstructorParameters[] = {
    {.name = "endpoint", .default_none = true},
    {.name = "protocol", .keyword_only = true, .default_none = true},
    {.name = "host", .keyword_only = true, .default_none = true},
    {.name = "port", .keyword_only = true, .default_none = true},
    {.name = "socket_path", .keyword_only = true, .default_none = true},
    {.name = "pipe_name", .keyword_only = true, .default_none = true},
    {.name = "max_pool_size", .keyword_only = true},  // defaults to 8, so None is an error
    {.name = "api_token", .keyword_only = true, .default_none = true},
    {.name = kReleaseGil, .keyword_only = true},
    {.name = kSocketTimeout, .keyword_only = true, .default_none = true},
};
constexpr size_t kFirstCallSetting = 8;  // the parameters after api_token
constexpr Signature kConstructor{"ZeltoClient.__new__", kConstructorParameters};

constexpr Signature kInfer{"ZeltoClient.infer", kInferParameters};
constexpr Signature kInferTensor{"ZeltoClient.infer_tensor", kInferParameters};
constexpr Signature kInferStream{"ZeltoClient.infer_stream", kInferParameters};
constexpr Signature kInferBytes{"ZeltoClient.infer_bytes", kInferParameters};
constexpr Signature kInferTensorBytes{"ZeltoClient.infer_tensor_bytes", kInferParameters};
constexpr Signature kInferStreamBytes{"ZeltoClient.infer_stream_bytes", kInferParameters};

constexpr Signature kInferInto{"ZeltoClient.infer_into", kInferIntoParameters};

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
        return with_arguments<SocketClient>(
            new_instance<SocketClient>(type, call, std::move(*config)), kConstructor, bound);
    });
}

constexpr MethodClass kClass{zelto_client_type, "ZeltoClient"};

// The three inference methods: shared use (calls on several threads run at once, each on a
// connection of its own) and the same arguments; `run` gets the client, the converted arguments
// and the client's call settings.
template <class Run>
PyObject* call_inference(const Signature& signature, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, Run&& run) {
    return call_method<SocketClient>(signature, kClass, Use::Mode::Shared, self, args, nargs,
                                     kwnames,
                                     [&](SocketClient& client, const BoundArguments& bound,
                                         const RunningCall& call) -> PyObject* {
                                         InferArguments arguments;
                                         if (!convert_infer_arguments(bound, arguments))
                                             return nullptr;
                                         return run(client, arguments, call);
                                     });
}

PyObject* client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_inference(kInfer, self, args, nargs, kwnames,
                          [](SocketClient& client, const InferArguments& arguments,
                             const RunningCall& call) -> PyObject* {
                              auto response =
                                  engine_call(call, [&](const platform::CallWait& wait) {
                                      return client.infer(arguments, wait);
                                  });
                              if (!response) {
                                  raise_error(response.error());
                                  return nullptr;
                              }
                              return bytes_to_list(response->output().data);
                          });
}

PyObject* client_infer_tensor(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return call_inference(kInferTensor, self, args, nargs, kwnames,
                          [](SocketClient& client, const InferArguments& arguments,
                             const RunningCall& call) -> PyObject* {
                              auto response =
                                  engine_call(call, [&](const platform::CallWait& wait) {
                                      return client.infer(arguments, wait);
                                  });
                              if (!response) {
                                  raise_error(response.error());
                                  return nullptr;
                              }
                              return tensor_to_tuple(response->output());
                          });
}

// A stream request; the iterator yields lists of ints or bytes, as `items` says.
PyObject* open_stream(const Signature& signature, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, StreamItems items) {
    return call_inference(
        signature, self, args, nargs, kwnames,
        [items](SocketClient& client, const InferArguments& arguments,
                const RunningCall& call) -> PyObject* {
            auto connection = engine_call(call, [&](const platform::CallWait& wait) {
                return client.open_stream(arguments, wait);
            });
            if (!connection) {
                raise_error(connection.error());
                return nullptr;
            }
            return new_stream_iterator(std::move(*connection), call.settings, items);
        });
}

PyObject* client_infer_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return open_stream(kInferStream, self, args, nargs, kwnames, StreamItems::Lists);
}

// The bytes twins: the output's data is received straight into the bytes object returned.
// `build` makes the result from that object (a new reference) and the decoded output.
template <class Build>
PyObject* call_inference_bytes(const Signature& signature, PyObject* self, PyObject* const* args,
                               Py_ssize_t nargs, PyObject* kwnames, Build&& build) {
    return call_inference(
        signature, self, args, nargs, kwnames,
        [&](SocketClient& client, const InferArguments& arguments,
            const RunningCall& call) -> PyObject* {
            BytesSink output;
            auto response = engine_call(call, output, [&](const platform::CallWait& wait) {
                return client.infer(arguments, wait, &output.sink());
            });
            if (!response) {
                raise_error(response.error());
                return nullptr;
            }
            return build(output.take(response->output().data), response->output());
        });
}

PyObject* client_infer_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return call_inference_bytes(kInferBytes, self, args, nargs, kwnames,
                                [](PyObject* data, const DecodedTensor&) { return data; });
}

PyObject* client_infer_tensor_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return call_inference_bytes(kInferTensorBytes, self, args, nargs, kwnames, tensor_tuple_around);
}

PyObject* client_infer_stream_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return open_stream(kInferStreamBytes, self, args, nargs, kwnames, StreamItems::Bytes);
}

// infer_into: the output's data is received straight into the caller's buffer; the result is
// its length. An output longer than the buffer fails the call and closes its connection.
PyObject* client_infer_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return call_method<SocketClient>(
        kInferInto, kClass, Use::Mode::Shared, self, args, nargs, kwnames,
        [&](SocketClient& client, const BoundArguments& bound,
            const RunningCall& call) -> PyObject* {
            InferArguments arguments;
            if (!convert_infer_arguments(bound, arguments)) return nullptr;
            OutBuffer out;
            if (!out.take(bound[kOut])) return nullptr;
            auto response = engine_call(call, [&](const platform::CallWait& wait) {
                return client.infer(arguments, wait, &out.sink());
            });
            if (!response) {
                if (auto refused = out.refused()) {
                    out.raise_too_long(*refused);
                    return nullptr;
                }
                raise_error(response.error());
                return nullptr;
            }
            return PyLong_FromSize_t(response->output().data.size());
        });
}

// protocol() and endpoint(): no arguments, shared use, a new str.
template <class Text>
PyObject* describe(PyObject* self, Text&& text) {
    return guarded([&]() -> PyObject* {
        ClientObject* client = receiver<SocketClient>(self, zelto_client_type(), "ZeltoClient");
        if (client == nullptr) return nullptr;
        Use use(client->in_use, Use::Mode::Shared);
        if (!use.ok()) return nullptr;
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
     "session_id=None)\n--\n\n"
     "Like `infer` but returns `(data, shape, dtype)` so the caller knows\n"
     "how to interpret the output bytes without hardcoding dimensions.\n"
     "Essential for models whose output shape varies (diffusion, video, TTS)."},
    {"infer_stream", as_method(client_infer_stream), METH_FASTCALL | METH_KEYWORDS,
     "infer_stream($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None)\n--\n\n"},
    {"infer_bytes", as_method(client_infer_bytes), METH_FASTCALL | METH_KEYWORDS,
     "infer_bytes($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None)\n--\n\n"
     "Like `infer` but returns the output tensor's bytes as a bytes object."},
    {"infer_tensor_bytes", as_method(client_infer_tensor_bytes), METH_FASTCALL | METH_KEYWORDS,
     "infer_tensor_bytes($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None)\n--\n\n"
     "Like `infer_tensor` but returns `(data, shape, dtype)` with the data as bytes."},
    {"infer_stream_bytes", as_method(client_infer_stream_bytes), METH_FASTCALL | METH_KEYWORDS,
     "infer_stream_bytes($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None)\n--\n\n"
     "Like `infer_stream` but yields each frame's bytes as a bytes object."},
    {"infer_into", as_method(client_infer_into), METH_FASTCALL | METH_KEYWORDS,
     "infer_into($self, model_id, shape, dtype, data, additional_inputs=None, "
     "session_id=None, *, out)\n--\n\n"
     "Like `infer_bytes` but writes the output's bytes at the start of `out`, a writable\n"
     "buffer, and returns their number."},
    kCloseMethod<SocketClient, kClass>,
    kEnterMethod<SocketClient, kClass>,
    kExitMethod<SocketClient, kClass>,
    kReduceMethod<SocketClient, kClass>,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc,
     const_cast<char*>("ZeltoClient(endpoint=None, *, protocol=None, host=None, port=None, "
                       "socket_path=None, pipe_name=None, max_pool_size=..., api_token=None, "
                       "release_gil=False, socket_timeout=None)"
                       "\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<SocketClient>)},
    {Py_tp_repr, reinterpret_cast<void*>(client_object_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.ZeltoClient", static_cast<int>(sizeof(ClientObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* zelto_client_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "ZeltoClient");
    return type;
}

}  // namespace zelto::binding
