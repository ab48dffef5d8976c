#include "platform/clock.hpp"

#include <algorithm>

#include "platform/precise_sleep.hpp"
#include "platform/wait_policy.hpp"
#include "platform/windows/system.hpp"

namespace zelto::platform {
namespace {

// FILETIME counts 100 ns ticks since 1601-01-01; the Unix epoch is this many ticks later.
constexpr uint64_t kUnixEpochTicks = 116'444'736'000'000'000ULL;

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
    // The thread's high-resolution timer, made at its first sleep and kept for the thread's life.
    thread_local PreciseSleep timer;
    timer.sleep_for(std::max<std::chrono::nanoseconds>(std::chrono::microseconds(1),
                                                       std::chrono::nanoseconds(slack_)));
}

}  // namespace zelto::platform
