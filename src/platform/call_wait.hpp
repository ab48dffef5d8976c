// How a blocking call waits: never for long without looking up. Every wait of a call (connect,
// write, read, a stream's next frame, the hybrid exchange, a shared-memory publish or poll) is
// cut into slices of at most kWaitSlice; between slices the call asks whether it must end (the
// binding runs Python's signal handlers there, so Ctrl-C and an alarm handler that raises get
// through; a canceller sets the call's flag), and it ends once its deadline has passed.
//
// wait_in_slices holds that policy, the order of its checks included, once for every wait: a
// wait only says how it spends one slice (poll, select, an event, the hybrid caller context, a
// queue polled round by round) and what it found.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>

namespace zelto::platform {

inline constexpr std::chrono::milliseconds kWaitSlice{50};

struct CallWait {
    using Clock = std::chrono::steady_clock;

    // Returns true when the call must end now: a signal handler raised, and its exception is
    // left for the binding to report. Empty: nothing interrupts the call.
    std::function<bool()> interrupted;
    // The call's deadline, if it has one: every wait of the call ends by then.
    std::optional<Clock::time_point> deadline;
    // Set from any thread to end the call's waits the way an interruption does (within a slice);
    // whoever sets it knows why the call ended. Null: nothing cancels the call.
    const std::atomic<bool>* cancelled = nullptr;

    // Whether anything can end a wait of the call early; a wait that nothing can end may block
    // without slices.
    bool bounded() const { return interrupted || deadline || cancelled != nullptr; }
    // Whether the call must end: it was cancelled, or the interruption check says so (which may
    // run Python code, so a wait asks once per slice).
    bool must_stop() const {
        if (cancelled != nullptr && cancelled->load(std::memory_order_acquire)) return true;
        return interrupted && interrupted();
    }
    bool expired(Clock::time_point now) const { return deadline && now >= *deadline; }
    // How long the next slice of a wait may last at most, from `now`: kWaitSlice, or less when
    // the deadline is nearer (zero once it has passed).
    std::chrono::milliseconds slice(Clock::time_point now) const;
};

// Why a wait ended without what it waited for: the call must end (Interrupted: an interruption
// check said so, or the call was cancelled), or its deadline passed.
enum class WaitStop { Interrupted, TimedOut };

inline std::chrono::milliseconds CallWait::slice(Clock::time_point now) const {
    if (!deadline) return kWaitSlice;
    if (now >= *deadline) return std::chrono::milliseconds::zero();
    // Rounded up, so a wait never wakes just before its deadline only to sleep again.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
    return left < kWaitSlice ? left : std::chrono::milliseconds(kWaitSlice);
}

// A call that nothing interrupts and that has no deadline (engine tests, the server).
inline const CallWait& unbounded_wait() {
    static const CallWait wait;
    return wait;
}

// What one slice of a wait found, as the wait's step reports it.
enum class SliceResult {
    // Nothing that ends the wait: it goes on.
    NotYet,
    // What the wait is for may go ahead (a socket is ready, a transfer moved bytes), and the
    // call can still end instead: the stop check runs for this slice as for any other and wins,
    // so a peer that keeps every slice short cannot keep the call from being stopped.
    Ready,
    // The wait is settled whatever else holds: its result is in for good (an operation ended, an
    // answer was taken from a queue) or waiting itself failed. The stop check is not asked: once
    // it says stop the call must end stopped (a handler's exception is pending), which a settled
    // wait no longer can.
    Done,
    // A time limit of the wait's own, besides the call's deadline, ran out.
    TimedOut,
};

// One slice of a wait, as its step sees it. The clock is read at most once per slice, and only
// when something asks for the time.
class WaitSlice {
public:
    using Clock = CallWait::Clock;

    explicit WaitSlice(const CallWait& wait) noexcept : wait_(wait) {}

    // When the slice began.
    Clock::time_point now() {
        if (!now_) now_ = Clock::now();
        return *now_;
    }
    // How long a system wait may block in this slice (CallWait::slice: kWaitSlice, less when
    // the deadline is nearer, rounded up to whole milliseconds); nullopt when nothing can end the
    // wait early, so it may block without limit.
    std::optional<std::chrono::milliseconds> length() {
        if (wait_.deadline) return wait_.slice(now());
        if (wait_.bounded()) return kWaitSlice;
        return std::nullopt;
    }
    // When a step that polls round by round ends the slice: kWaitSlice after it began, or at the
    // deadline exactly when that is nearer.
    Clock::time_point end() {
        const auto full = now() + kWaitSlice;
        return wait_.deadline && *wait_.deadline < full ? *wait_.deadline : full;
    }

private:
    const CallWait& wait_;
    std::optional<Clock::time_point> now_;
};

// Waits in slices until `step` ends the wait, the call must stop or its deadline passes.
// `step(WaitSlice&)` spends at most one slice waiting and returns what it found. Each round, in
// this order:
//   1. the deadline: once passed, TimedOut, before any slice is spent (a call out of time starts
//      no wait);
//   2. one slice of `step`: Done ends the wait at once, TimedOut (its own limit) too;
//   3. the stop check, once per slice: Interrupted, also when the slice found its event Ready;
//   4. Ready ends the wait; NotYet goes on to the next round.
// So what came in the last slice wins over a deadline that passed meanwhile, and a stop wins
// over what is not settled yet. Returns nullopt when the step ended the wait (Ready or Done: its
// caller keeps what it found, a failure included), else why the wait stopped.
//
// The caller makes its first attempt (a non-blocking read, a first pop) before it waits, so
// what is there already costs no clock read and no stop check.
template <class Step>
std::optional<WaitStop> wait_in_slices(const CallWait& wait, Step&& step) {
    for (;;) {
        WaitSlice slice(wait);
        if (wait.deadline && slice.now() >= *wait.deadline) return WaitStop::TimedOut;
        const SliceResult found = step(slice);
        if (found == SliceResult::Done) return std::nullopt;
        if (found == SliceResult::TimedOut) return WaitStop::TimedOut;
        if (wait.must_stop()) return WaitStop::Interrupted;
        if (found == SliceResult::Ready) return std::nullopt;
    }
}

}  // namespace zelto::platform
