// Processor and scheduler hints for spin loops.
#pragma once

#include <sched.h>

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

}  // namespace zelto::platform
