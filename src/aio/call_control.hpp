// How one asyncio call is stopped: by its caller (a cancelled task, from the loop's thread) or by
// its deadline. Both end up in stop(), on the runtime's I/O thread, which ends the transfer in
// progress at once; the call's steps check stopped() after each wait and end with the reason.
// A connect, which blocks on the connect thread, watches the cancel flag through its CallWait.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

#include "platform/async_stream.hpp"
#include "platform/call_wait.hpp"

namespace zelto::aio {

class CallControl {
public:
    using Clock = platform::CallWait::Clock;

    explicit CallControl(std::optional<Clock::time_point> deadline) : deadline_(deadline) {}

    // I/O thread only: ends the call for `why` (the first reason wins).
    void stop(platform::WaitStop why) {
        if (stopped_) return;
        stopped_ = why;
        cancelled_.store(true, std::memory_order_release);
        if (stream_ != nullptr) stream_->shut_down();
    }
    std::optional<platform::WaitStop> stopped() const { return stopped_; }

    // The stream whose transfers a stop must end (I/O thread only), or null.
    void watch(platform::AsyncStream* stream) {
        stream_ = stream;
        if (stream_ != nullptr && stopped_) stream_->shut_down();
    }

    std::optional<Clock::time_point> deadline() const { return deadline_; }
    // The wait of a blocking step (a connect): the call's deadline and its cancel flag.
    platform::CallWait blocking_wait() const {
        platform::CallWait wait;
        wait.deadline = deadline_;
        wait.cancelled = &cancelled_;
        return wait;
    }

private:
    std::optional<Clock::time_point> deadline_;
    std::optional<platform::WaitStop> stopped_;
    std::atomic<bool> cancelled_{false};
    platform::AsyncStream* stream_ = nullptr;
};

}  // namespace zelto::aio
