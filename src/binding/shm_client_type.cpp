// ZeltoShmClient: inference entirely through a shared-memory region created by the server.
#include <optional>

#include "binding/arguments.hpp"
#include "binding/call_settings.hpp"
#include "binding/client_object.hpp"
#include "binding/engine_client.hpp"
#include "binding/instance.hpp"
#include "binding/method_call.hpp"
#include "binding/out_buffer.hpp"
#include "binding/python_log.hpp"
#include "binding/types.hpp"
#include "shm/shm_client.hpp"

namespace zelto::binding {
namespace {

// Empty once the client is closed.
using ShmState = std::optional<shm::ShmClient>;
using ShmClientObject = Instance<ShmState>;

constexpr Parameter kConstructorParameters[] = {
    {.name = "shm_name", .required = true},
    {.name = kReleaseGil, .keyword_only = true},
};
constexpr Signature kConstructor{"ZeltoShmClient.__new__", kConstructorParameters};

constexpr Signature kInfer{"ZeltoShmClient.infer", kTensorParameters};
constexpr Signature kInferBytes{"ZeltoShmClient.infer_bytes", kTensorParameters};

constexpr Signature kInferInto{"ZeltoShmClient.infer_into", kTensorIntoParameters};

constexpr MethodClass kClass{shm_client_type, "ZeltoShmClient"};

// Every call, the wait for the object included, is bounded by the client's fixed time-out.
const CallSettings kDefaults{.timeout = shm::ShmClient::kResponseTimeout};

PyObject* shm_client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_engine_client<ShmState>(type, args, kwargs, kConstructor, kDefaults,
                                       [](const std::vector<std::string>& texts) {
                                           return shm::ShmClient::open(texts[0], python_info_log());
                                       });
}

// infer and infer_bytes: `convert` makes the result from the engine's answer.
template <class Convert>
PyObject* shm_client_call(const Signature& signature, PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, Convert&& convert) {
    return call_method<ShmState>(
        signature, kClass, Use::Mode::Exclusive, self, args, nargs, kwnames,
        [&](ShmState& client, const BoundArguments& bound, const RunningCall& call) -> PyObject* {
            TensorArguments input;
            if (!convert_tensor_arguments(bound, input)) return nullptr;
            // The poll rounds check for signals, so Ctrl-C interrupts the wait; the handler's
            // exception stays set and ends the call. The output is copied out with the lock
            // held, while the view keeps the region's turn.
            return convert(engine_call(call, [&](const platform::CallWait& wait) {
                return client->infer(input.shape, input.dtype, input.data, wait);
            }));
        });
}

PyObject* shm_client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return shm_client_call(kInfer, self, args, nargs, kwnames,
                           [](const auto& output) { return engine_output_to_list(output); });
}

PyObject* shm_client_infer_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return shm_client_call(kInferBytes, self, args, nargs, kwnames,
                           [](const auto& output) { return engine_output_to_bytes(output); });
}

// infer_into: the output is copied out of the region into the caller's buffer.
PyObject* shm_client_infer_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    return call_method<ShmState>(
        kInferInto, kClass, Use::Mode::Exclusive, self, args, nargs, kwnames,
        [&](ShmState& client, const BoundArguments& bound, const RunningCall& call) -> PyObject* {
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

PyObject* shm_client_repr(PyObject* self) {
    return client_repr("ZeltoShmClient", {argument<ShmState>(self, "shm_name")});
}

PyMethodDef kMethods[] = {
    {"infer", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shm_client_infer)),
     METH_FASTCALL | METH_KEYWORDS, "infer($self, shape, dtype, data)\n--\n\n"},
    {"infer_bytes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shm_client_infer_bytes)),
     METH_FASTCALL | METH_KEYWORDS,
     "infer_bytes($self, shape, dtype, data)\n--\n\n"
     "Like `infer` but returns the output tensor's bytes as a bytes object."},
    {"infer_into",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(shm_client_infer_into)),
     METH_FASTCALL | METH_KEYWORDS,
     "infer_into($self, shape, dtype, data, *, out)\n--\n\n"
     "Like `infer_bytes` but writes the output's bytes at the start of `out`, a writable\n"
     "buffer, and returns their number."},
    kCloseMethod<ShmState, kClass>,
    kEnterMethod<ShmState, kClass>,
    kExitMethod<ShmState, kClass>,
    kReduceMethod<ShmState, kClass>,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ZeltoShmClient(shm_name, *, release_gil=False)\n--\n\n"
                                  "CPython wrapper for shared memory client")},
    {Py_tp_new, reinterpret_cast<void*>(shm_client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ShmState>)},
    {Py_tp_repr, reinterpret_cast<void*>(shm_client_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.ZeltoShmClient", static_cast<int>(sizeof(ShmClientObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* shm_client_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "ZeltoShmClient");
    return type;
}

}  // namespace zelto::binding
