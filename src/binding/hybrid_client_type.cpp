// ZeltoHybridClient: tensors through a shared region, a small control message over a local
// stream socket.
#include <memory>

#include "binding/arguments.hpp"
#include "binding/call_settings.hpp"
#include "binding/client_object.hpp"
#include "binding/engine_client.hpp"
#include "binding/instance.hpp"
#include "binding/method_call.hpp"
#include "binding/out_buffer.hpp"
#include "binding/python_log.hpp"
#include "binding/types.hpp"
#include "hybrid/hybrid_client.hpp"

namespace zelto::binding {
namespace {

using HybridState = std::unique_ptr<hybrid::HybridClient>;
using HybridClientObject = Instance<HybridState>;

constexpr Parameter kConstructorParameters[] = {
    {.name = "shm_name", .required = true},
    {.name = "socket_path", .required = true},
    {.name = kReleaseGil, .keyword_only = true},
    {.name = kSocketTimeout, .keyword_only = true, .default_none = true},
};
constexpr Signature kConstructor{"ZeltoHybridClient.__new__", kConstructorParameters};

constexpr Signature kInfer{"ZeltoHybridClient.infer", kTensorParameters};
constexpr Signature kInferBytes{"ZeltoHybridClient.infer_bytes", kTensorParameters};

constexpr Signature kInferInto{"ZeltoHybridClient.infer_into", kTensorIntoParameters};

constexpr MethodClass kClass{hybrid_client_type, "ZeltoHybridClient"};

PyObject* hybrid_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_engine_client<HybridState>(type, args, kwargs, kConstructor, CallSettings{},
                                          [](const std::vector<std::string>& texts) {
                                              return hybrid::HybridClient::create(
                                                  texts[0], texts[1], python_info_log());
                                          });
}

// infer and infer_bytes: `convert` makes the result from the engine's answer.
template <class Convert>
PyObject* hybrid_client_call(const Signature& signature, PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames, Convert&& convert) {
    return call_method<HybridState>(
        signature, kClass, Use::Mode::Exclusive, self, args, nargs, kwnames,
        [&](HybridState& client, const BoundArguments& bound,
            const RunningCall& call) -> PyObject* {
            TensorArguments input;
            if (!convert_tensor_arguments(bound, input)) return nullptr;
            return convert(engine_call(call, [&](const platform::CallWait& wait) {
                return client->infer(input.shape, input.dtype, input.data, wait);
            }));
        });
}

PyObject* hybrid_client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return hybrid_client_call(kInfer, self, args, nargs, kwnames,
                              [](const auto& output) { return engine_output_to_list(output); });
}

PyObject* hybrid_client_infer_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    return hybrid_client_call(kInferBytes, self, args, nargs, kwnames,
                              [](const auto& output) { return engine_output_to_bytes(output); });
}

// infer_into: the output is copied out of the region into the caller's buffer.
PyObject* hybrid_client_infer_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    return call_method<HybridState>(
        kInferInto, kClass, Use::Mode::Exclusive, self, args, nargs, kwnames,
        [&](HybridState& client, const BoundArguments& bound,
            const RunningCall& call) -> PyObject* {
            TensorArguments input;
            if (!convert_tensor_arguments(bound, input)) return nullptr;
            OutBuffer out;
            if (!out.take(bound[3])) return nullptr;
            auto output = engine_call(call, [&](const platform::CallWait& wait) {
                return client->infer(input.shape, input.dtype, input.data, wait);
            });
            if (!output) {
                raise_error(output.error());
                return nullptr;
            }
            return out.copy(output_data(*output));
        });
}

PyObject* hybrid_client_repr(PyObject* self) {
    return client_repr("ZeltoHybridClient", {argument<HybridState>(self, "shm_name"),
                                             argument<HybridState>(self, "socket_path")});
}

PyMethodDef kMethods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hybrid_client_infer)),
     METH_FASTCALL | METH_KEYWORDS, "infer($self, shape, dtype, data)\n--\n\n"},
    {"infer_bytes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hybrid_client_infer_bytes)),
     METH_FASTCALL | METH_KEYWORDS,
     "infer_bytes($self, shape, dtype, data)\n--\n\n"
     "Like `infer` but returns the output tensor's bytes as a bytes object."},
    {"infer_into",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(hybrid_client_infer_into)),
     METH_FASTCALL | METH_KEYWORDS,
     "infer_into($self, shape, dtype, data, *, out)\n--\n\n"
     "Like `infer_bytes` but writes the output's bytes at the start of `out`, a writable\n"
     "buffer, and returns their number."},
    kCloseMethod<HybridState, kClass>,
    kEnterMethod<HybridState, kClass>,
    kExitMethod<HybridState, kClass>,
    kReduceMethod<HybridState, kClass>,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ZeltoHybridClient(shm_name, socket_path, *, release_gil=False, "
                                  "socket_timeout=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(hybrid_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<HybridState>)},
    {Py_tp_repr, reinterpret_cast<void*>(hybrid_client_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.ZeltoHybridClient", static_cast<int>(sizeof(HybridClientObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* hybrid_client_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "ZeltoHybridClient");
    return type;
}

}  // namespace zelto::binding
