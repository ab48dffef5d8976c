// zelto_sdk.aio.ZeltoHybridClient: the asyncio twin of ZeltoHybridClient.
#include <chrono>
#include <deque>
#include <memory>

#include "aio/hybrid_client.hpp"
#include "binding/aio_call.hpp"
#include "binding/aio_tensor_call.hpp"
#include "binding/aio_types.hpp"
#include "binding/arguments.hpp"
#include "binding/bytes_output.hpp"
#include "binding/call_settings.hpp"
#include "binding/client_object.hpp"
#include "binding/conversions.hpp"
#include "binding/engine_client.hpp"
#include "binding/instance.hpp"
#include "binding/method_call.hpp"
#include "binding/out_buffer.hpp"
#include "binding/python_log.hpp"
#include "platform/wait_policy.hpp"

namespace zelto::binding::aio {
namespace {

using zelto::aio::AsyncHybridClient;
class HybridInferCall;

// The engine, and the calls that wait for a slot of the region's pool: a call that finds every
// slot leased while calls of this client are in flight waits for one of them to end, instead of
// failing as a lone call does.
struct HybridState {
    explicit HybridState(std::unique_ptr<AsyncHybridClient> engine) : engine(std::move(engine)) {}
    void close() { engine->close(); }

    std::unique_ptr<AsyncHybridClient> engine;
    std::deque<std::unique_ptr<HybridInferCall>> parked;
};

constexpr Parameter kConstructorParameters[] = {
    {.name = "shm_name", .required = true},
    {.name = "socket_path", .required = true},
    {.name = kSocketTimeout, .keyword_only = true, .default_none = true},
};
constexpr Signature kConstructor{"ZeltoHybridClient.__new__", kConstructorParameters};

constexpr Signature kInfer{"ZeltoHybridClient.infer", kTensorParameters};
constexpr Signature kInferBytes{"ZeltoHybridClient.infer_bytes", kTensorParameters};
constexpr Signature kInferInto{"ZeltoHybridClient.infer_into", kTensorIntoParameters};

constexpr MethodClass kClass{hybrid_client_type, "ZeltoHybridClient", "aio.ZeltoHybridClient"};

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return new_engine_client<HybridState>(
        type, args, kwargs, kConstructor, CallSettings{},
        [](const std::vector<std::string>& texts) -> std::expected<HybridState, Error> {
            auto engine = AsyncHybridClient::create(texts[0], texts[1], python_info_log());
            if (!engine) return std::unexpected(std::move(engine.error()));
            return HybridState(std::move(*engine));
        });
}

void start_parked(HybridState& state);

class HybridInferCall final : public TensorCall {
public:
    ~HybridInferCall() override {
        output.reset();  // the slot's lease before the client counts the call over
        if (state != nullptr) {
            state->engine->ended(call);
            start_parked(*state);
        }
    }

    HybridState* state = nullptr;  // once started
    zelto::aio::HybridCall call;
    std::optional<shm::OutputView> output;

private:
    PyObject* build() override { return build_output(kind, output->data(), out.get()); }
};

// How launch() left a call.
enum class Launched {
    Failed,    // with an exception set, or the engine's error in the call
    Parked,    // every slot of the pool leased while others of this client are in flight
    Running,   // handed to the runtime
    Finished,  // its exchange ended on the loop's thread (within `spin`)
};

// Starts `call` on the engine, driving its exchange for up to `spin` on the loop's thread, and
// hands it to the runtime unless it finished or has to wait for a slot; a call handed over
// leaves its awaitable in `awaitable` (when given).
Launched launch(HybridState& state, std::unique_ptr<HybridInferCall>& call,
                std::chrono::nanoseconds spin, PyRef* awaitable = nullptr) {
    zelto::aio::Runtime* runtime = runtime_or_raise();
    if (runtime == nullptr) return Launched::Failed;
    auto failed = state.engine->start(call->input.shape, call->input.dtype, call->input.data,
                                      call->call, spin);
    if (failed) {
        if (failed->kind == ErrorKind::PoolExhausted && state.engine->in_flight() > 0)
            return Launched::Parked;
        call->error = std::move(*failed);
        return Launched::Failed;
    }
    call->state = &state;
    AsyncHybridClient* engine = state.engine.get();
    if (spin > std::chrono::nanoseconds::zero() && call->call.exchanged) {
        auto output = engine->output(call->call);
        if (output) {
            call->output.emplace(std::move(*output));
        } else {
            call->error = std::move(output.error());
        }
        return Launched::Finished;
    }
    if (!call->future && !make_future(*call)) {
        // Sent: the server may read its slot yet.
        if (call->call.slot) call->call.slot->keep();
        return Launched::Failed;
    }
    // Null with the exception set when it cannot be made; the call runs on regardless.
    if (awaitable != nullptr) *awaitable = PyRef::steal(awaiting(Py_NewRef(call->future.get())));
    spawn_call(*runtime, std::move(call),
               [runtime, engine](HybridInferCall& call) -> asio::awaitable<void> {
                   auto output = co_await engine->finish(*runtime, call.call, *call.control);
                   if (output) {
                       call.output.emplace(std::move(*output));
                   } else {
                       call.error = std::move(output.error());
                   }
               });
    return Launched::Running;
}

// A call ended: the oldest parked call tries again (on the loop's thread, which is delivering).
void start_parked(HybridState& state) {
    while (!state.parked.empty()) {
        std::unique_ptr<HybridInferCall> call = std::move(state.parked.front());
        state.parked.pop_front();
        switch (launch(state, call, std::chrono::nanoseconds::zero())) {
            case Launched::Running:
                return;
            case Launched::Parked:
                state.parked.push_front(std::move(call));
                return;
            case Launched::Finished:  // never without a spin
            case Launched::Failed:
                break;
        }
        // It fails as a call of its own: its future gets the error now.
        if (!call->error) {
            PyErr_Clear();
            call->error = Error{ErrorKind::Runtime, "the asyncio runtime could not start"};
        }
        call->deliver();
    }
}

PyObject* start_infer(const Signature& signature, OutputKind kind, PyObject* self,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_method<HybridState>(
        signature, kClass, Use::Mode::Exclusive, self, args, nargs, kwnames,
        [&](HybridState& state, const BoundArguments& bound,
            const RunningCall& running) -> PyObject* {
            auto call = std::make_unique<HybridInferCall>();
            if (!call->take(bound, kind)) return nullptr;
            if (!open_call(*call, self, running.deadline)) return nullptr;
            const auto spin =
                call->alone() ? platform::kLoopSpin : std::chrono::microseconds::zero();
            PyRef awaitable;
            switch (launch(state, call, spin, &awaitable)) {
                case Launched::Failed:
                    if (call && call->error) raise_error(*call->error);
                    return nullptr;
                case Launched::Parked:
                    if (!make_future(*call)) return nullptr;
                    awaitable = PyRef::steal(awaiting(Py_NewRef(call->future.get())));
                    if (!awaitable) return nullptr;
                    state.parked.push_back(std::move(call));
                    break;
                case Launched::Finished:
                    return call->finished_now();
                case Launched::Running:
                    break;
            }
            return awaitable.release();
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
    return binding::client_repr("ZeltoHybridClient", {argument<HybridState>(self, "shm_name"),
                                                      argument<HybridState>(self, "socket_path")});
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
    kAsyncCloseMethod<HybridState, kClass>,
    kAsyncEnterMethod<HybridState, kClass>,
    kAsyncExitMethod<HybridState, kClass>,
    kReduceMethod<HybridState, kClass>,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ZeltoHybridClient(shm_name, socket_path, *, "
                                  "socket_timeout=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<HybridState>)},
    {Py_tp_repr, reinterpret_cast<void*>(client_repr)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"zelto_sdk.aio.ZeltoHybridClient",
                     static_cast<int>(sizeof(Instance<HybridState>)), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

}  // namespace

PyObject* hybrid_client_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "ZeltoHybridClient");
    return type;
}

}  // namespace zelto::binding::aio
