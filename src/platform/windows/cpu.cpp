#include "platform/cpu.hpp"

#include <bit>
#include <thread>

#include "platform/windows/system.hpp"

namespace zelto::platform {

void yield_processor() noexcept {
    SwitchToThread();
}

size_t available_processors() {
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
        int count = std::popcount(static_cast<uint64_t>(process_mask));
        if (count > 0) return static_cast<size_t>(count);
    }
    // A process spread over several processor groups reports an empty mask: fall back to the
    // library's count.
    unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

}  // namespace zelto::platform
