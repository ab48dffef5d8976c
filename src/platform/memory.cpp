#include "platform/memory.hpp"

#include <sys/mman.h>

namespace zelto::platform {
namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
// Below this a buffer spans too few huge pages to be worth the advice.
constexpr size_t kAdviseFrom = size_t{4} << 20;

}  // namespace

void reserve_bytes(std::vector<uint8_t>& buffer, size_t capacity) {
    buffer.reserve(capacity);
    if (buffer.capacity() < kAdviseFrom) return;
    // Only whole, aligned huge pages inside the buffer can be backed by one.
    auto begin = reinterpret_cast<uintptr_t>(buffer.data() + buffer.size());
    auto end = reinterpret_cast<uintptr_t>(buffer.data() + buffer.capacity());
    uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t last = end & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace zelto::platform
