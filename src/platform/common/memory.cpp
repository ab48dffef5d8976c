#include "platform/memory.hpp"

#include <cstring>

#include "platform/common/memory_advice.hpp"

namespace zelto::platform {

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
