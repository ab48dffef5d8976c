// How one asyncio call is stopped: by its caller (a cancelled task, from the loop's thread) or by
// its deadline. Both end up in stop(), on the runtime's I/O thread, which ends the wait of the
// step in progress at once (the step said how: shut its stream down, stop its exchange); the
// call's steps check stopped() after each wait and end with the reason.
// A connect, which blocks on the connect thread, watches the cancel flag through its CallWait.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "platform/call_wait.hpp"

namespace zelto::aio {

class CallControl {
public:
    using Clock = platform::CallWait::Clock;

    explicit CallControl(std::optional<Clock::time_point> deadline) : deadline_(deadline) {}

    using EndWait = std::function<void(platform::WaitStop)>;

    // I/O thread only: ends the call for `why` (the first reason wins).
    void stop(platform::WaitStop why) {
        if (stopped_) return;
        stopped_ = why;
        reason_.store(why, std::memory_order_relaxed);
        cancelled_.store(true, std::memory_order_release);
        if (end_wait_) end_wait_(why);
    }
    std::optional<platform::WaitStop> stopped() const { return stopped_; }

    // Any thread: whether stop() was called, and why (once it was). For a driver that polls
    // rather than waits on the I/O thread.
    bool cancel_requested() const { return cancelled_.load(std::memory_order_acquire); }
    platform::WaitStop stopped_reason() const { return reason_.load(std::memory_order_relaxed); }

    // How a stop ends the wait of the step in progress (I/O thread only); empty between steps.
    // A call already stopped ends the new step's wait at once.
    void watch(EndWait end_wait) {
        end_wait_ = std::move(end_wait);
        if (end_wait_ && stopped_) end_wait_(*stopped_);
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
    std::atomic<platform::WaitStop> reason_{platform::WaitStop::Interrupted};
    EndWait end_wait_;
};

}  // namespace zelto::aio
