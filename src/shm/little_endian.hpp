// Little-endian loads and stores at arbitrary (possibly unaligned) addresses of the region.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace zelto::shm {

template <typename T>
inline T load_le(const uint8_t* p) noexcept {
    T value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    return value;
}

template <typename T>
inline void store_le(uint8_t* p, T value) noexcept {
    if constexpr (std::endian::native == std::endian::big) value = std::byteswap(value);
    std::memcpy(p, &value, sizeof value);
}

}  // namespace zelto::shm
