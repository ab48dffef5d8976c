// How long waiting threads spin, and how they sleep after that: every spin budget, the stages of
// the 1-microsecond poll pause and the servers' spins, in one place.
//
// The costs that decide them, measured on the virtual machines this runs on: putting a thread to
// sleep and waking it again costs tens of microseconds, and a sleep asked for 1 us lasts ~73 us
// under the default 50 us timer slack (~16 us with the slack lowered). A thread that expects an
// answer within microseconds therefore retries without blocking for a while first, and only then
// sleeps; the budgets below say how long "a while" is for each kind of wait.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/clock.hpp"
#include "platform/cpu.hpp"

namespace zelto::platform {

// -- Budgets --

// How long a client thread keeps retrying a socket that is not ready before it blocks: a quick
// server answers within this time, and a transfer in progress moves bytes within it, so the
// thread is spared being put to sleep and woken again. The hybrid exchange spins as long before
// it parks on its runtime.
inline constexpr std::chrono::microseconds kClientSpin{100};
inline constexpr std::chrono::microseconds kHybridSpin = kClientSpin;

// How long an event loop's thread tries for the answer of an asyncio call that is the only one
// of its process in flight, before it leaves the call to the runtime and returns to its loop. A
// quick answer then reaches the caller without the loop being put to sleep and woken again
// (most of an asyncio call's cost); a slow one costs the loop this much once. With other calls
// in flight the loop's thread never waits.
inline constexpr std::chrono::microseconds kLoopSpin{50};

// How long a reference-server connection thread keeps retrying its socket without blocking, for
// the next request after an answer and for the rest of a request in progress: a client sending
// request after request then finds the thread awake, while an idle connection costs a few
// microseconds of polling per answer and then blocks.
inline constexpr std::chrono::microseconds kServerSpin{100};

// The reference server's shared-memory poller: after the last request it keeps spinning for
// kSpinAfterWork (bursts of kSpinBurst pause hints between polls), so that a client sending
// request after request gets each answer within microseconds; then it sleeps kShortSleep between
// polls, and kLongSleep once it has been idle for kLongSleepAfter, so that an idle server costs
// next to nothing.
struct ShmServerPoll {
    static constexpr std::chrono::milliseconds kSpinAfterWork{20};
    static constexpr int kSpinBurst = 16;
    static constexpr std::chrono::microseconds kShortSleep{50};
    static constexpr std::chrono::milliseconds kLongSleep{1};
    static constexpr std::chrono::seconds kLongSleepAfter{1};
};

// How many times a shared-memory client retries publishing its request entry (with a pause hint
// between tries) before it waits with MicroWait: a producer ahead of it in the queue publishes
// within a few hundred nanoseconds.
inline constexpr int kPublishSpins = 64;

// A spin stretched by the size of the request: a server takes longer to answer a large tensor
// (it reads the input and writes an output), and an answer missed by going to sleep costs a
// wake-up on top. `base` plus 1 ns per byte (as if the server moved 1 GB/s, well below what
// memory does), at most 20 ms.
inline std::chrono::nanoseconds spin_for_payload(std::chrono::nanoseconds base,
                                                 uint64_t payload_bytes) noexcept {
    constexpr std::chrono::nanoseconds kMaxSpin = std::chrono::milliseconds(20);
    if (base >= kMaxSpin) return base;
    const auto room = static_cast<uint64_t>((kMaxSpin - base).count());
    return base + std::chrono::nanoseconds(payload_bytes < room ? payload_bytes : room);
}

// -- Spinning on a socket --

// The time a thread may keep retrying a socket that is not ready yet before it blocks, counted
// from the first retry: the clock is read only once something had to be waited for, so an
// operation that succeeds at once costs no clock reads. Each retry first offers the processor
// to other threads: on a busy machine the peer may be waiting for this very processor.
class SpinBudget {
public:
    explicit SpinBudget(std::chrono::nanoseconds budget) : budget_(budget) {}

    // Yields briefly and returns true while the budget lasts.
    bool again() noexcept {
        const auto now = std::chrono::steady_clock::now();
        if (!started_) {
            deadline_ = now + budget_;
            started_ = true;
        }
        if (now >= deadline_) return false;
        yield_processor();
        return true;
    }

private:
    std::chrono::nanoseconds budget_;
    std::chrono::steady_clock::time_point deadline_{};
    bool started_ = false;
};

// How a transfer waits for its socket: without blocking while a spin lasts, blocking after.
// The spin starts again whenever bytes move, so a transfer in progress never sleeps, and a
// silent peer is waited for asleep once `spin` has passed with nothing. A zero spin blocks from
// the start.
class SpinWait {
public:
    explicit SpinWait(std::chrono::nanoseconds spin)
        : spin_(spin), budget_(spin), spinning_(spin > std::chrono::nanoseconds::zero()) {}

    // Whether the next attempt must not block.
    bool spinning() const noexcept { return spinning_; }
    // A non-blocking attempt found the socket not ready.
    void missed() noexcept { spinning_ = budget_.again(); }
    // Bytes moved.
    void progressed() noexcept {
        if (spin_ <= std::chrono::nanoseconds::zero()) return;
        spinning_ = true;
        budget_ = SpinBudget(spin_);
    }

private:
    std::chrono::nanoseconds spin_;
    SpinBudget budget_;
    bool spinning_;
};

// -- The 1-microsecond pause of polling waits --

// The 1-microsecond pause between the rounds of one polling wait.
//
// A plain 1 us sleep lasts tens of microseconds (timer slack, waking a parked CPU), which would
// make every quick answer wait that long. So a wait goes through four stretches:
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
// The stages are decided here and in platform/common/micro_wait.cpp; how a pause sleeps and what
// a slack is are each system's (platform/<system>/clock.cpp).
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
