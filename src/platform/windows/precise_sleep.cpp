#include "platform/precise_sleep.hpp"

#include <windows.h>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace zelto::platform {

PreciseSleep::PreciseSleep() noexcept {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
    // Systems before Windows 10 1803 refuse the flag: a plain timer still beats Sleep().
    if (timer == nullptr) timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    if (timer != nullptr) state_ = reinterpret_cast<intptr_t>(timer);
}

PreciseSleep::~PreciseSleep() {
    if (state_ != -1) CloseHandle(reinterpret_cast<HANDLE>(state_));
}

void PreciseSleep::sleep_for(std::chrono::nanoseconds duration) noexcept {
    // The timer counts in units of 100 ns; a negative due time is relative to now.
    const long long ticks = (duration.count() + 99) / 100;
    HANDLE timer = reinterpret_cast<HANDLE>(state_);
    LARGE_INTEGER due{};
    due.QuadPart = -(ticks > 0 ? ticks : 1);
    if (state_ != -1 && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(timer, INFINITE);
        return;
    }
    Sleep(static_cast<DWORD>((duration.count() + 999'999) / 1'000'000));
}

}  // namespace zelto::platform
