// Processor and scheduler hints for spin loops.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

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

// The number of processors this process may run on (its affinity mask), at least 1.
size_t available_processors();

// Gives the processor to another ready thread, if there is one.
void yield_processor() noexcept;

// How long a client thread keeps retrying a socket that is not ready before it blocks: a quick
// server answers within this time, and a transfer in progress moves bytes within it, so the
// thread is spared being put to sleep and woken again (tens of microseconds on a virtual
// machine).
inline constexpr std::chrono::microseconds kClientSpin{100};

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

}  // namespace zelto::platform
