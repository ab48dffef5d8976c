// One call of an asyncio client, from the loop's thread to the runtime and back.
//
// The method (on the loop's thread, holding the interpreter lock) converts the arguments, makes
// the loop's future and the call object, and hands the engine's coroutine to the runtime's I/O
// thread. The call object travels with the coroutine and holds everything the engine reads
// without the lock: the converted arguments, the input bytes it borrows (their object is held
// here), the caller's out buffer. When the coroutine ends, its result is stored in the call and
// the call queued for its loop, which delivers it (sets the future's result or exception) and
// destroys it, releasing its Python objects there.
//
// Cancelling the future (task.cancel(), asyncio.timeout, wait_for) posts a stop to the I/O
// thread: the transfer in progress ends at once, and the connection is closed, never reused.
// A deadline (socket_timeout) stops the call the same way, as TimedOut.
#pragma once

#include <Python.h>

#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "aio/call_control.hpp"
#include "aio/completion_queue.hpp"
#include "aio/runtime.hpp"
#include "binding/aio_awaitable.hpp"
#include "binding/aio_loop.hpp"
#include "binding/py_ref.hpp"
#include "hybrid/io_runtime.hpp"
#include "transport/errors.hpp"

namespace zelto::binding::aio {

class Call : public zelto::aio::Completion {
public:
    Call();
    ~Call() override;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Whether this is the only call of the process in flight (or waiting to be delivered): its
    // loop's thread may then try for its answer a while (platform::kLoopSpin) before it leaves
    // it to the runtime, since no other call's result waits on that thread.
    bool alone() const;
    // The call's awaitable when the engine finished it on the loop's thread: no future, just
    // the result (or the exception of its failure). Null with an exception set.
    PyObject* finished_now();
    // Sets the future's result (build()) or the exception of the engine's error, unless the
    // future is already done (cancelled).
    void deliver() final;

    PyRef loop;
    PyRef future;  // once the call goes to the runtime (make_future)
    PyRef owner;   // the client, alive while its call is
    std::shared_ptr<zelto::aio::CompletionQueue> queue;
    std::shared_ptr<zelto::aio::CallControl> control;
    // The engine's failure, when it failed.
    std::optional<Error> error;

protected:
    // The result on success: a new reference, or null with an exception set.
    virtual PyObject* build() = 0;
    // Sets the exception of the failure (by default, that of `error`).
    virtual void raise_failure();
};

// Makes the running loop's future for `call` and the hook that stops the call when the future
// is cancelled. False with an exception set.
bool prepare_call(Call& call, PyObject* owner,
                  std::optional<zelto::aio::CallControl::Clock::time_point> deadline);
// prepare_call in two halves, for a call that may finish on the loop's thread: the running loop
// and the call's control first; then, once the call goes to the runtime, the future and its
// cancel hook.
bool open_call(Call& call, PyObject* owner,
               std::optional<zelto::aio::CallControl::Clock::time_point> deadline);
bool make_future(Call& call);

// The process's runtime, or null with the exception of its failure set.
zelto::aio::Runtime* runtime_or_raise();

// A future of the running loop already done with `value` (borrowed), or null with an exception
// set: what close(), __aenter__ and __aexit__ return, so each can be awaited.
PyObject* done_future(PyObject* value);

// Runs `operation(call)` (a coroutine of the engine that stores its result in the call) on the
// runtime's I/O thread under the call's deadline, then queues the call for its loop.
template <class CallType, class Operation>
void spawn_call(zelto::aio::Runtime& runtime, std::unique_ptr<CallType> call, Operation operation) {
    CallType* raw = call.get();
    auto body = [raw, &runtime, operation = std::move(operation)]() -> asio::awaitable<void> {
        std::optional<asio::steady_timer> timer;
        if (auto deadline = raw->control->deadline()) {
            timer.emplace(runtime.io(), *deadline);
            timer->async_wait([control = raw->control](const asio::error_code& ec) {
                if (!ec) control->stop(platform::WaitStop::TimedOut);
            });
        }
        co_await operation(*raw);
        if (timer) timer->cancel();
    };
    asio::co_spawn(
        runtime.io(), std::move(body),
        [call = std::move(call)](std::exception_ptr failure) mutable {
            if (failure)
                call->error = Error{ErrorKind::Runtime, hybrid::describe_exception(failure)};
            auto queue = call->queue;
            queue->push(std::move(call));
        });
}

// The same, returning the call's awaitable (a new reference), or null with an exception set
// (nothing was started).
template <class CallType, class Operation>
PyObject* start_call(zelto::aio::Runtime& runtime, std::unique_ptr<CallType> call,
                     Operation operation) {
    PyObject* awaitable = awaiting(Py_NewRef(call->future.get()));
    if (awaitable == nullptr) return nullptr;
    spawn_call(runtime, std::move(call), std::move(operation));
    return awaitable;
}

}  // namespace zelto::binding::aio
