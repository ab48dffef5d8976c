// Processor and scheduler hints for spin loops.
#pragma once

#include <sched.h>

#include <chrono>

namespace zelto::platform {

// Tells the processor that the caller is spinning (x86 `pause`, ARM `yield`).
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield" ::: "memory");
#else
    asm volatile("" ::: "memory");
#endif
}

// Gives the processor to another ready thread, if there is one.
inline void yield_processor() noexcept {
    sched_yield();
}

// How long a client thread retries for an answer without blocking: a quick server answers
// within this time, and the thread is spared being put to sleep and woken again.
inline constexpr std::chrono::microseconds kAnswerSpin{100};

// The time a thread may keep retrying a socket that is not ready yet before it blocks. Each
// retry first offers the processor to other threads: on a busy machine the peer may be waiting
// for this very processor.
class SpinBudget {
public:
    explicit SpinBudget(std::chrono::nanoseconds budget)
        : deadline_(std::chrono::steady_clock::now() + budget) {}

    // Yields briefly and returns true while the budget lasts.
    bool again() noexcept {
        if (std::chrono::steady_clock::now() >= deadline_) return false;
        yield_processor();
        return true;
    }

private:
    std::chrono::steady_clock::time_point deadline_;
};

}  // namespace zelto::platform
