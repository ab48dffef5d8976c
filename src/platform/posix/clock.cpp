#include "platform/clock.hpp"

#include <sys/prctl.h>
#include <time.h>

#include "platform/wait_policy.hpp"

namespace zelto::platform {

uint64_t wall_clock_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
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

void MicroWait::sleep() noexcept {
    timespec one_us{0, 1000};
    nanosleep(&one_us, nullptr);
}

}  // namespace zelto::platform
