#include "platform/clock.hpp"
#include "platform/cpu.hpp"
#include "platform/wait_policy.hpp"

namespace zelto::platform {

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
    sleep();
}

}  // namespace zelto::platform
