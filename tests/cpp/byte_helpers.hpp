// Small builders for expected wire bytes in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace zelto::test_bytes {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes u64_le(uint64_t v) {
    Bytes out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace zelto::test_bytes
