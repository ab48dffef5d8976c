// Processor and scheduler hints for spin loops (how long to spin: platform/wait_policy.hpp).
#pragma once

#include <cstddef>

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

}  // namespace zelto::platform
