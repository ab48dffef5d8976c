#include "platform/precise_sleep.hpp"

#include <sys/prctl.h>
#include <time.h>

namespace zelto::platform {

PreciseSleep::PreciseSleep() noexcept {
    const int own = prctl(PR_GET_TIMERSLACK);
    if (own > 0 && prctl(PR_SET_TIMERSLACK, 1UL) == 0) state_ = own;
}

PreciseSleep::~PreciseSleep() {
    if (state_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(state_));
}

void PreciseSleep::sleep_for(std::chrono::nanoseconds duration) noexcept {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec ts{static_cast<time_t>(seconds.count()),
                static_cast<long>((duration - seconds).count())};
    nanosleep(&ts, nullptr);
}

}  // namespace zelto::platform
