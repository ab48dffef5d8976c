// Large byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelto::platform {

// Gives `buffer` room for `capacity` bytes without touching them. A room of several megabytes
// is advised to the kernel as huge-page backed: the first touch of each 4 KiB page costs
// microseconds (far more than copying it), and a 16 MiB payload would otherwise take 4096 such
// faults. The advice changes nothing else; a system without transparent huge pages ignores it.
void reserve_bytes(std::vector<uint8_t>& buffer, size_t capacity);

}  // namespace zelto::platform
