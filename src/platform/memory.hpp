// Large byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace zelto::platform {

// Gives `buffer` room for `capacity` bytes without touching them. A room of several megabytes
// is advised to the kernel as huge-page backed: the first touch of each 4 KiB page costs
// microseconds (far more than copying it), and a 16 MiB payload would otherwise take 4096 such
// faults. The advice changes nothing else; a system without transparent huge pages ignores it,
// and Windows, which offers no such advice for ordinary memory, goes without.
void reserve_bytes(std::vector<uint8_t>& buffer, size_t capacity);

// A byte buffer that leaves its bytes uninitialised: whoever fills it writes every byte it later
// reads, so nothing is zero-filled first and pages are touched only as data lands in them.
// Large ones get the same huge-page advice as reserve_bytes.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(ByteBuffer&& other) noexcept
        : bytes_(std::move(other.bytes_)), capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        bytes_ = std::move(other.bytes_);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }

    uint8_t* data() { return bytes_.get(); }
    size_t capacity() const { return capacity_; }

    // Makes room for `capacity` bytes if there is less, keeping the first `keep` bytes.
    void grow(size_t capacity, size_t keep);
    void release() {
        bytes_.reset();
        capacity_ = 0;
    }

private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t capacity_ = 0;
};

}  // namespace zelto::platform
