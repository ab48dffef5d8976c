#include <sys/mman.h>

#include "platform/common/memory_advice.hpp"

namespace zelto::platform {
namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
// Below this a buffer spans too few huge pages to be worth the advice.
constexpr size_t kAdviseFrom = size_t{4} << 20;

}  // namespace

void advise_room(const uint8_t* begin, const uint8_t* end, size_t capacity) {
    if (capacity < kAdviseFrom) return;
    // Only whole, aligned huge pages inside the room can be backed by one.
    uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace zelto::platform
