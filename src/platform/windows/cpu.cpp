#include "platform/cpu.hpp"

#include <bit>
#include <thread>

#include "platform/windows/system.hpp"

namespace zelto::platform {

void yield_processor() noexcept {
    SwitchToThread();
}

size_t available_processors() {
    // A machine with more than 64 logical processors has several processor groups, and the
    // affinity masks speak of one group only. A process limited to some processors (a job
    // object, `start /affinity`) runs in one group and has them in its mask; one that is not
    // limited may run on every group's (the default from Windows 11 and Server 2022 on).
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) &&
        process_mask != 0 && process_mask != system_mask) {
        return static_cast<size_t>(std::popcount(static_cast<uint64_t>(process_mask)));
    }
    const DWORD every_group = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    if (every_group > 0) return every_group;
    unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? count : 1;
}

}  // namespace zelto::platform
