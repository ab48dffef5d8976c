#include "platform/clock.hpp"

#include <sys/prctl.h>
#include <time.h>

#include "platform/cpu.hpp"
#include "platform/wait_policy.hpp"

namespace zelto::platform {

uint64_t wall_clock_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

MicroWait::MicroWait(std::chrono::nanoseconds spin_phase,
                     std::chrono::nanoseconds precise_sleep_phase,
                     std::chrono::nanoseconds relaxed_phase) noexcept {
    auto now = monotonic_now();
    spin_until_ = now + spin_phase;
    precise_until_ = spin_until_ + precise_sleep_phase;
    relaxed_until_ = precise_until_ + relaxed_phase;
}

MicroWait::~MicroWait() {
    restore_slack();
}

void MicroWait::set_slack(unsigned long slack) noexcept {
    if (slack_ == slack) return;
    if (saved_slack_ < 0) {
        int own = prctl(PR_GET_TIMERSLACK);
        if (own <= 0) return;  // unknown: leave the thread's slack alone
        saved_slack_ = own;
    }
    if (prctl(PR_SET_TIMERSLACK, slack) == 0) slack_ = slack;
}

void MicroWait::restore_slack() noexcept {
    if (saved_slack_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_slack_));
    saved_slack_ = -1;
    slack_ = 0;
}

void MicroWait::pause() noexcept {
    auto now = monotonic_now();
    if (now < spin_until_) {
        auto until = now + std::chrono::microseconds(1);
        while (monotonic_now() < until) spin_pause();
        return;
    }
    if (now < precise_until_) {
        set_slack(1);
    } else if (now < relaxed_until_) {
        set_slack(std::chrono::nanoseconds(kRelaxedSlack).count());
    } else {
        set_slack(std::chrono::nanoseconds(kSlowSlack).count());
    }
    timespec one_us{0, 1000};
    nanosleep(&one_us, nullptr);
}

}  // namespace zelto::platform
