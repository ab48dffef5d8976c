// Clocks and the short waits of polling loops.
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

// The 1-microsecond pause between the rounds of one polling wait.
//
// A plain nanosleep(1 us) lasts tens of microseconds (timer slack, waking a parked CPU), which
// would make every quick answer wait that long. So a wait goes through four stretches:
//   - first each pause spins on the monotonic clock until the microsecond is over, so a quick
//     answer is seen at once;
//   - then each pause is a real 1 us sleep with the thread's timer slack lowered to 1 ns, which
//     keeps the rounds short without spinning;
//   - after that the answer is evidently slow, and short sleeps with a lowered slack still cost
//     most of a core (the kernel barely parks the thread). Even with the default slack (50 us)
//     each round costs ~15 us of processor time in a virtual machine, a quarter of a core, so
//     the slack is raised to kRelaxedSlack: each 1 us sleep then lasts what the kernel makes of
//     it within that slack, and the answer is noticed within a quarter of a millisecond;
//   - an answer that has not come after kDefaultRelaxedPhase more takes long enough that half a
//     millisecond more is little, while each round still costs ~20 us of processor time in a
//     virtual machine (a tenth of a core at one round per 250 us): the slack is doubled to
//     kSlowSlack.
// The thread's own slack is restored at the latest when the wait ends. Windows timers have no
// slack: there the sleeps are made on a high-resolution waitable timer, and each lasts as long as
// the stretch's slack (1 us in the precise stretch), which spends the processor as sparingly.
class MicroWait {
public:
    static constexpr std::chrono::microseconds kDefaultSpinPhase{50};
    static constexpr std::chrono::milliseconds kDefaultPreciseSleepPhase{2};
    static constexpr std::chrono::microseconds kRelaxedSlack{250};
    static constexpr std::chrono::milliseconds kDefaultRelaxedPhase{14};
    static constexpr std::chrono::microseconds kSlowSlack{500};

    explicit MicroWait(std::chrono::nanoseconds spin_phase = kDefaultSpinPhase,
                       std::chrono::nanoseconds precise_sleep_phase = kDefaultPreciseSleepPhase,
                       std::chrono::nanoseconds relaxed_phase = kDefaultRelaxedPhase) noexcept;
    ~MicroWait();
    MicroWait(const MicroWait&) = delete;
    MicroWait& operator=(const MicroWait&) = delete;

    // Waits about one microsecond.
    void pause() noexcept;

private:
    // Sets the thread's timer slack (in ns) for the rest of the wait, saving its own first.
    void set_slack(unsigned long slack) noexcept;
    void restore_slack() noexcept;
    // One sleep of the sleeping stretches: 1 us within the slack set.
    void sleep() noexcept;

    MonotonicClock::time_point spin_until_;
    MonotonicClock::time_point precise_until_;
    MonotonicClock::time_point relaxed_until_;
    long saved_slack_ = -1;    // the thread's own timer slack while it is changed, else -1
    unsigned long slack_ = 0;  // the slack this wait set, 0 for none
};

}  // namespace zelto::platform
