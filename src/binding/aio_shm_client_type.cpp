// zelto_sdk.aio.ZeltoShmClient: the asyncio twin of ZeltoShmClient. Its calls are driven by the
// runtime's shm poller (aio/shm_client.hpp).
#include <memory>

#include "aio/shm_client.hpp"
#include "binding/aio_call.hpp"
#include "binding/aio_tensor_call.hpp"
#include "binding/aio_types.hpp"
#include "binding/arguments.hpp"
#include "binding/call_settings.hpp"
#include "binding/client_object.hpp"
#include "binding/engine_client.hpp"
#include "binding/exceptions.hpp"
#include "binding/instance.hpp"
#include "binding/method_call.hpp"
#include "binding/out_buffer.hpp"
#include "binding/python_log.hpp"
#include "platform/wait_policy.hpp"

namespace zelto::binding::aio {
namespace {

using zelto::aio::AsyncShmClient;
using ShmState = std::unique_ptr<AsyncShmClient>;

constexpr Parameter kConstructorParameters[] = {
    {.name = "shm_name", .required = true},
};
constexpr Signature kConstructor{"ZeltoShmClient.__new__", kConstructorParameters};

constexpr Signature kInfer{"ZeltoShmClient.infer", kTensorParameters};
constexpr Signature kInferBytes{"ZeltoShmClient.infer_bytes", kTensorParameters};
constexpr Signature kInferInto{"ZeltoShmClient.infer_into", kTensorIntoParameters};

constexpr MethodClass kClass{shm_client_type, "ZeltoShmClient", "aio.ZeltoShmClient"};

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_engine_client<ShmState>(type, args, kwargs, kConstructor, CallSettings{},
                                       [](const std::vector<std::string>& texts) {
                                           return AsyncShmClient::open(texts[0], python_info_log());
                                       });
}

class ShmInferCall final : public TensorCall {
public:
    ~ShmInferCall() override {
        request.result.reset();  // the slot's lease before the call counts as holding none
        request.slot.reset();
        if (request.holds_slot) request.client->slot_given_back();
    }

    zelto::aio::ShmRequest request;

private:
    PyObject* build() override {
        auto& result = *request.result;
        if (!result) {
            raise_error(result.error());
            return nullptr;
        }
        return build_output(kind, result->data(), out.get());
    }
};

PyObject* start_infer(const Signature& signature, OutputKind kind, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<ShmState>(
        signature, kClass, Use::Mode::Shared, self, args, nargs, kwnames,
        [&](ShmState& client, const BoundArguments& bound,
            const RunningCall& running) -> PyObject* {
            auto call = std::make_unique<ShmInferCall>();
            if (!call->take(bound, kind)) return nullptr;
            if (!open_call(*call, self, running.deadline)) return nullptr;
            zelto::aio::Runtime* runtime = runtime_or_raise();
            if (runtime == nullptr) return nullptr;
            zelto::aio::ShmPoller* poller = runtime->shm_poller();
            if (poller == nullptr) {
                raise_error(Error{ErrorKind::Runtime, "the shared-memory poller could not start"});
                return nullptr;
            }
            zelto::aio::ShmRequest& request = call->request;
            request.client = client.get();
            request.shape = call->input.shape;
            request.dtype = call->input.dtype;
            request.data = call->input.data;
            request.control = call->control;
            if (call->alone() && zelto::aio::try_call_now(request, platform::kLoopSpin))
                return call->finished_now();
            if (!make_future(*call)) {
                if (request.slot) request.slot->keep();  // queued: the server may read it yet
                return nullptr;
            }
            // Null with the exception set when it cannot be made; the call runs on regardless.
            PyObject* awaitable = awaiting(Py_NewRef(call->future.get()));
            auto queue = call->queue;
            poller->submit(request, std::move(call), std::move(queue));
            return awaitable;
        });
}

PyObject* client_infer(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return start_infer(kInfer, OutputKind::List, self, args, nargs, kw);
}
PyObject* client_infer_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kw) {
    return start_infer(kInferBytes, OutputKind::Bytes, self, args, nargs, kw);
}
PyObject* client_infer_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return start_infer(kInferInto, OutputKind::Into, self, args, nargs, kw);
}

PyObject* client_repr(PyObject* self) {
    return binding::client_repr("ZeltoShmClient", {argument<ShmState>(self, "shm_name")});
}

template <class Function>
PyCFunction as_method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kMethods[] = {
    {"infer", as_method(client_infer), METH_FASTCALL | METH_KEYWORDS,
     "infer($self, shape, dtype, data)\n--\n\n"},
    {"infer_bytes", as_method(client_infer_bytes), METH_FASTCALL | METH_KEYWORDS,
     "infer_bytes($self, shape, dtype, data)\n--\n\n"},
    {"infer_into", as_method(client_infer_into), METH_FASTCALL | METH_KEYWORDS,
     "infer_into($self, shape, dtype, data, *, out)\n--\n\n"},
    kAsyncCloseMethod<ShmState, kClass>,
    kAsyncEnterMethod<ShmState, kClass>,
    kAsyncExitMethod<ShmState, kClass>,
    kReduceMethod<ShmState, kClass>,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ZeltoShmClient(shm_name)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ShmState>)},
    {Py_tp_repr, reinterpret_cast<void*>(client_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"zelto_sdk.aio.ZeltoShmClient", static_cast<int>(sizeof(Instance<ShmState>)),
                     0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* shm_client_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "ZeltoShmClient");
    return type;
}

}  // namespace zelto::binding::aio
