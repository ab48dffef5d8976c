#include "platform/memory.hpp"

#include <sys/mman.h>

#include <cstring>

namespace zelto::platform {
namespace {

constexpr uintptr_t kHugePage = uintptr_t{2} << 20;
// Below this a buffer spans too few huge pages to be worth the advice.
constexpr size_t kAdviseFrom = size_t{4} << 20;

// Advises the untouched room [begin, end) of a buffer of `capacity` bytes as huge-page backed.
void advise_room(const uint8_t* begin, const uint8_t* end, size_t capacity) {
    if (capacity < kAdviseFrom) return;
    // Only whole, aligned huge pages inside the room can be backed by one.
    uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t last = reinterpret_cast<uintptr_t>(end) & ~(kHugePage - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

void reserve_bytes(std::vector<uint8_t>& buffer, size_t capacity) {
    buffer.reserve(capacity);
    advise_room(buffer.data() + buffer.size(), buffer.data() + buffer.capacity(),
                buffer.capacity());
}

void ByteBuffer::grow(size_t capacity, size_t keep) {
    if (capacity <= capacity_) return;
    auto larger = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (keep != 0) std::memcpy(larger.get(), bytes_.get(), keep);
    advise_room(larger.get() + keep, larger.get() + capacity, capacity);
    bytes_ = std::move(larger);
    capacity_ = capacity;
}

}  // namespace zelto::platform
