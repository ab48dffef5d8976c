// UTF-8 validation, decoding and encoding.
//
// Validation reports where and how a byte sequence stops being UTF-8 the way the decoder's error
// texts need it: the length of the valid prefix, and the length of the invalid sequence that
// follows it (the maximal subpart of an ill-formed sequence: 1 for a byte that cannot start or
// continue a sequence at that point), or nothing when the input ends inside a sequence that
// could still have been completed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zelto::utf8 {

struct Utf8Error {
    size_t valid_up_to = 0;
    std::optional<size_t> error_len;  // empty: the input ends inside an incomplete sequence
};

// Checks the whole input; nullopt when it is valid UTF-8.
std::optional<Utf8Error> validate(std::span<const uint8_t> bytes);

// Text of a validation error: "invalid utf-8 sequence of N bytes from index I" or
// "incomplete utf-8 byte sequence from index I".
std::string describe(const Utf8Error& error);

// Decodes the code point starting at bytes[pos] and advances pos past it. A byte that does not
// start a valid sequence gives nullopt and is stepped over alone, so callers handed unexpected
// input can pass it through without reading out of bounds.
std::optional<char32_t> decode_at(std::span<const uint8_t> bytes, size_t& pos);

// Appends the UTF-8 encoding of a code point.
void append(std::string& out, char32_t cp);

}  // namespace zelto::utf8
