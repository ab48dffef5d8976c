#include "platform/clock.hpp"

#include <sys/prctl.h>
#include <time.h>

#include "platform/cpu.hpp"

namespace zelto::platform {

uint64_t wall_clock_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

MicroWait::MicroWait(std::chrono::nanoseconds spin_phase,
                     std::chrono::nanoseconds precise_sleep_phase) noexcept {
    auto now = monotonic_now();
    spin_until_ = now + spin_phase;
    precise_until_ = spin_until_ + precise_sleep_phase;
}

MicroWait::~MicroWait() {
    restore_slack();
}

void MicroWait::lower_slack() noexcept {
    if (saved_slack_ >= 0) return;
    int slack = prctl(PR_GET_TIMERSLACK);
    if (slack > 0 && prctl(PR_SET_TIMERSLACK, 1UL) == 0) saved_slack_ = slack;
}

void MicroWait::restore_slack() noexcept {
    if (saved_slack_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_slack_));
    saved_slack_ = -1;
}

void MicroWait::pause() noexcept {
    auto now = monotonic_now();
    if (now < spin_until_) {
        auto until = now + std::chrono::microseconds(1);
        while (monotonic_now() < until) spin_pause();
        return;
    }
    if (now < precise_until_) {
        lower_slack();
    } else {
        restore_slack();
    }
    timespec one_us{0, 1000};
    nanosleep(&one_us, nullptr);
}

}  // namespace zelto::platform
