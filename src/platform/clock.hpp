// Clocks. The short waits of polling loops (MicroWait) are in platform/wait_policy.hpp.
#pragma once

#include <chrono>
#include <cstdint>

namespace zelto::platform {

using MonotonicClock = std::chrono::steady_clock;

inline MonotonicClock::time_point monotonic_now() noexcept {
    return MonotonicClock::now();
}

// Wall-clock time in nanoseconds since the Unix epoch: whole seconds x 10^9 plus the sub-second
// nanoseconds, wrapping in 64 bits.
uint64_t wall_clock_ns() noexcept;

}  // namespace zelto::platform
