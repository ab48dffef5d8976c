#include "platform/cpu.hpp"

#include <sched.h>

#include <thread>

namespace zelto::platform {

void yield_processor() noexcept {
    sched_yield();
}

size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<size_t>(count);
    }
    // More processors than a cpu_set_t describes: fall back to the library's count.
    unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

}  // namespace zelto::platform
