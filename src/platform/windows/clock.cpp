#include "platform/clock.hpp"

#include <algorithm>
#include <thread>

#include "platform/windows/system.hpp"

namespace zelto::platform {
namespace {

// Older SDK headers lack the flag; systems older than Windows 10 1803 refuse it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// FILETIME counts 100 ns ticks since 1601-01-01; the Unix epoch is this many ticks later.
constexpr uint64_t kUnixEpochTicks = 116'444'736'000'000'000ULL;

// The calling thread's waitable timer, made at its first sleep and kept for the thread's life:
// a high-resolution one where the system offers it (a plain timer would round every wait up to
// the scheduler's tick), a plain one otherwise.
class ThreadTimer {
public:
    ThreadTimer() noexcept {
        handle_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                         TIMER_ALL_ACCESS);
        if (handle_ == nullptr)
            handle_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    ~ThreadTimer() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    ThreadTimer(const ThreadTimer&) = delete;
    ThreadTimer& operator=(const ThreadTimer&) = delete;

    // Sleeps for `length` (in the timer's 100 ns ticks, rounded up).
    void sleep(std::chrono::nanoseconds length) noexcept {
        const auto ticks = std::max<int64_t>(1, (length.count() + 99) / 100);
        LARGE_INTEGER due;
        due.QuadPart = -ticks;  // negative: relative to now
        if (handle_ != nullptr && SetWaitableTimer(handle_, &due, 0, nullptr, nullptr, FALSE)) {
            WaitForSingleObject(handle_, INFINITE);
        } else {
            std::this_thread::sleep_for(length);
        }
    }

private:
    HANDLE handle_ = nullptr;
};

}  // namespace

uint64_t wall_clock_ns() noexcept {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return (ticks - kUnixEpochTicks) * 100;
}

// A Windows timer has no slack: it fires when it is due. So the slack a stretch sets is how long
// each of its sleeps lasts (at least the microsecond of a round): the relaxed stretches then cost
// as little processor time as they do on Linux and notice an answer as soon.
void MicroWait::set_slack(unsigned long slack) noexcept {
    slack_ = slack;
}

void MicroWait::restore_slack() noexcept {
    slack_ = 0;
}

void MicroWait::sleep() noexcept {
    thread_local ThreadTimer timer;
    timer.sleep(std::max<std::chrono::nanoseconds>(std::chrono::microseconds(1),
                                                   std::chrono::nanoseconds(slack_)));
}

}  // namespace zelto::platform
