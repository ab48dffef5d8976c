// Sleeps that last about what they ask for, for a thread that polls between short sleeps (the
// reference server's region poller sleeps 50 us at a time when idle).
#pragma once

#include <chrono>
#include <cstdint>

namespace zelto::platform {

// Linux adds the thread's timer slack (50 us by default) to each sleep, so the thread's slack is
// lowered to 1 ns while the object lives. A plain sleep on Windows lasts whole ticks of the
// system timer (1 to 15.6 ms), so each sleep waits on a high-resolution waitable timer instead
// (a plain one where the system has none). Made, used and destroyed on the sleeping thread.
class PreciseSleep {
public:
    PreciseSleep() noexcept;
    ~PreciseSleep();
    PreciseSleep(const PreciseSleep&) = delete;
    PreciseSleep& operator=(const PreciseSleep&) = delete;

    void sleep_for(std::chrono::nanoseconds duration) noexcept;

private:
    // Linux: the thread's own timer slack, restored at the end (-1: unknown, left alone).
    // Windows: the waitable timer's HANDLE (-1: none, sleeps are plain).
    intptr_t state_ = -1;
};

}  // namespace zelto::platform
