#include "transport/wire.hpp"

#include <algorithm>

#include "transport/utf8.hpp"

namespace zelto::wire {

template <class U>
Decoder::Result<U> Decoder::little_endian() {
    if (remaining() < sizeof(U)) return std::unexpected(std::string(kUnexpectedEof));
    U v = 0;
    for (size_t i = 0; i < sizeof(U); ++i) v |= static_cast<U>(input_[pos_ + i]) << (8 * i);
    pos_ += sizeof(U);
    return v;
}

Decoder::Result<uint8_t> Decoder::u8() {
    return little_endian<uint8_t>();
}
Decoder::Result<uint32_t> Decoder::u32() {
    return little_endian<uint32_t>();
}
Decoder::Result<uint64_t> Decoder::u64() {
    return little_endian<uint64_t>();
}

Decoder::Result<int64_t> Decoder::i64() {
    ZELTO_WIRE_TRY(v, u64());
    return static_cast<int64_t>(*v);
}

Decoder::Result<float> Decoder::f32() {
    ZELTO_WIRE_TRY(v, u32());
    return std::bit_cast<float>(*v);
}

Decoder::Result<bool> Decoder::boolean() {
    ZELTO_WIRE_TRY(v, u8());
    if (*v > 1) return std::unexpected("invalid value for a boolean, found " + std::to_string(*v));
    return *v == 1;
}

Decoder::Result<std::span<const uint8_t>> Decoder::fixed(size_t n) {
    if (remaining() < n) {
        pos_ = input_.size();
        return std::unexpected(std::string(kUnexpectedEof));
    }
    auto bytes = input_.subspan(pos_, n);
    pos_ += n;
    return bytes;
}

Decoder::Result<std::string_view> Decoder::text() {
    ZELTO_WIRE_TRY(n, count());
    if (*n > remaining()) return std::unexpected(std::string(kShortText));
    auto bytes = input_.subspan(pos_, static_cast<size_t>(*n));
    if (auto error = utf8::validate(bytes)) {
        return std::unexpected("string is not valid utf8: " + utf8::describe(*error));
    }
    pos_ += bytes.size();
    return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Decoder::Result<std::span<const uint8_t>> Decoder::byte_string() {
    ZELTO_WIRE_TRY(n, count());
    // The bytes are viewed, not copied: a count beyond the input allocates nothing.
    return fixed(static_cast<size_t>(std::min<uint64_t>(*n, SIZE_MAX)));
}

Decoder::Result<std::vector<int64_t>> Decoder::i64_sequence() {
    ZELTO_WIRE_TRY(n, count());
    std::vector<int64_t> values;
    values.reserve(static_cast<size_t>(std::min<uint64_t>(*n, remaining() / sizeof(int64_t))));
    for (uint64_t i = 0; i < *n; ++i) {
        ZELTO_WIRE_TRY(v, i64());
        values.push_back(*v);
    }
    return values;
}

Decoder::Result<bool> Decoder::tag() {
    ZELTO_WIRE_TRY(v, u8());
    if (*v > 1) return std::unexpected("tag for enum is not valid, found " + std::to_string(*v));
    return *v == 1;
}

}  // namespace zelto::wire
