// The I/O runtime each hybrid client owns, and the way a blocking call runs one asynchronous
// operation on it.
//
// The runtime has two execution contexts:
// - the I/O context: the event loop (an epoll reactor, or on Windows the I/O completion port,
//   and timers) that the worker threads service, one worker per processor available to the
//   process. A transfer that has to wait is issued here, so a worker completes it.
// - the caller context: where operations themselves run. Only the thread inside
//   run_to_completion drives it; completions that the workers finish are posted to it, which
//   wakes that thread.
// So an operation's code always runs on the calling thread, and the caller is parked only while
// the operation waits.
//
// The caller parks in slices (platform::CallWait): between two slices it asks whether the call
// must end (a Python signal handler raised) and whether its deadline has passed. If so, it tells
// the operation once, through the stop function the caller gave, and goes on driving it: the
// operation must then end promptly (cancel or shut down what it waits on) and report why. So
// run_to_completion always returns with the operation over, and nothing of it is left behind on
// the runtime for the next call.
#pragma once

#include <cstddef>
#include <exception>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include "platform/call_wait.hpp"
#include "platform/io_error.hpp"

namespace zelto::hybrid {

// The text of a caught exception ("out of memory" for std::bad_alloc).
std::string describe_exception(std::exception_ptr error);

class IoRuntime {
public:
    // Starts the I/O context and its worker threads. Fails with the platform's error when the
    // event loop or a thread cannot be created; nothing is left running then.
    static std::expected<std::unique_ptr<IoRuntime>, IoError> create();

    // Stops the event loop and joins every worker.
    ~IoRuntime();
    IoRuntime(const IoRuntime&) = delete;
    IoRuntime& operator=(const IoRuntime&) = delete;

    // The event loop serviced by the workers; I/O objects of this runtime are created on it.
    asio::io_context& io_context() noexcept { return io_; }
    size_t worker_count() const noexcept { return workers_.size(); }

    // The runtime whose run_to_completion the calling thread is inside, or null.
    static IoRuntime* current() noexcept;

    // Tells an operation why its wait must end. Called at most once, on the calling thread,
    // while the operation is suspended; it must make the operation's pending step complete.
    using StopOperation = std::function<void(platform::WaitStop)>;

    // Runs `operation` to its end on the calling thread and returns its result. A call from a
    // worker thread of any runtime, or from inside another run_to_completion, is refused with an
    // error text: waiting there could stall the threads that must complete the I/O. An
    // exception escaping the operation is returned as its text. When `wait` says the call must
    // end, `stop` is told and the operation still runs to its end; without a `stop`, the wait
    // goes on.
    template <typename T>
    std::expected<T, std::string> run_to_completion(
        asio::awaitable<T> operation, const platform::CallWait& wait = platform::unbounded_wait(),
        const StopOperation& stop = {});

private:
    IoRuntime() = default;

    // Why the calling thread must not block here, or nothing.
    static std::optional<std::string> refuse_nested();
    // Runs the caller context until `done`, parking in slices of `wait` while nothing is ready,
    // and telling `stop` once when the wait must end.
    void drive(const bool& done, const platform::CallWait& wait, const StopOperation& stop);

    // Makes this runtime current for the calling thread while it lives.
    class Scope {
    public:
        explicit Scope(IoRuntime* runtime);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        IoRuntime* previous_;
    };

    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keep_running_;
    std::vector<std::thread> workers_;
    asio::io_context caller_;
    // The caller context never runs out of work, so it never stops itself. A worker that
    // completed a transfer hands the completion to the caller context and only then lets go of
    // its own hold on that context, which can be after the call has returned and the next one
    // has begun: a context allowed to run out of work would stop at that moment and end the
    // next call before its operation ever ran, leaving that operation queued for a later call.
    asio::executor_work_guard<asio::io_context::executor_type> keep_caller_ready_{
        caller_.get_executor()};
    std::mutex driver_;  // one driving thread at a time for the caller context
};

template <typename T>
std::expected<T, std::string> IoRuntime::run_to_completion(asio::awaitable<T> operation,
                                                           const platform::CallWait& wait,
                                                           const StopOperation& stop) {
    if (auto refused = refuse_nested()) return std::unexpected(std::move(*refused));
    std::lock_guard driving(driver_);
    Scope scope(this);
    std::optional<T> result;
    std::exception_ptr failure;
    bool done = false;
    try {
        asio::co_spawn(caller_, std::move(operation), [&](std::exception_ptr error, T value) {
            failure = error;
            if (!error) result.emplace(std::move(value));
            done = true;
        });
    } catch (...) {
        // Nothing was started: the operation could not even be spawned.
        return std::unexpected(describe_exception(std::current_exception()));
    }
    drive(done, wait, stop);
    if (failure) return std::unexpected(describe_exception(failure));
    if (!result) return std::unexpected(std::string("the operation ended without a result"));
    return std::move(*result);
}

}  // namespace zelto::hybrid
