// Strict decoding of standard base64 (alphabet A-Z a-z 0-9 + /, "=" padding).
//
// Strict means: no whitespace or URL-safe symbols, padding exactly as an encoder writes it, and
// the unused low bits of the last symbol zero, so every accepted text is the one canonical
// encoding of its bytes. The error texts are fixed; offsets are 0-based byte positions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace zelto::base64 {

// Most bytes `text` can decode to.
constexpr size_t max_decoded_size(size_t text_size) {
    return text_size / 4 * 3 + 2;
}

// Decodes into `out`, which must have room for max_decoded_size(text.size()) bytes, and returns
// the number of bytes written. `out` may point into the memory holding `text` as long as it
// does not start after text.data(): every output byte is written behind the symbols it came from.
std::expected<size_t, std::string> decode_into(std::string_view text, uint8_t* out);

std::expected<std::vector<uint8_t>, std::string> decode(std::string_view text);

// Standard base64 with padding (servers and tests).
std::string encode(const uint8_t* data, size_t size);

}  // namespace zelto::base64
