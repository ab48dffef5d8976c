// How a blocking call waits: never for long without looking up. Every wait of a call (connect,
// write, read, a stream's next frame, the hybrid exchange, a shared-memory publish or poll) is
// cut into slices of at most kWaitSlice; between slices the call asks `interrupted` whether it
// must end (the binding runs Python's signal handlers there, so Ctrl-C and an alarm handler that
// raises get through), and it ends once its deadline has passed.
#pragma once

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

    // Whether the call must end. Runs the interruption check (which may run Python code).
    bool must_stop() const { return interrupted && interrupted(); }
    bool expired(Clock::time_point now) const { return deadline && now >= *deadline; }
    // How long the next slice of a wait may last at most, from `now`: kWaitSlice, or less when
    // the deadline is nearer (zero once it has passed).
    std::chrono::milliseconds slice(Clock::time_point now) const;
};

// Why a wait ended without what it waited for.
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

}  // namespace zelto::platform
