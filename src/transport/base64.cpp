#include "transport/base64.hpp"

#include <algorithm>
#include <array>

namespace zelto::base64 {
namespace {

constexpr char kPad = '=';
constexpr uint8_t kInvalid = 0xFF;
constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Symbol value of each byte; kInvalid for everything else, "=" included: padding is handled
// by position, never as a symbol.
constexpr std::array<uint8_t, 256> kSymbolValues = [] {
    std::array<uint8_t, 256> table{};
    table.fill(kInvalid);
    for (size_t i = 0; i < kAlphabet.size(); ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
    return table;
}();

uint8_t value_of(char c) {
    return kSymbolValues[static_cast<uint8_t>(c)];
}

std::string invalid_symbol(size_t offset, char c) {
    return "Invalid symbol " + std::to_string(static_cast<uint8_t>(c)) + ", offset " +
           std::to_string(offset) + ".";
}

std::string invalid_last_symbol(size_t offset, char c) {
    return "Invalid last symbol " + std::to_string(static_cast<uint8_t>(c)) + ", offset " +
           std::to_string(offset) + ".";
}

// Decodes one full group of four symbols that is not the last group of the text (so no
// padding is allowed in it). All four are read before the three bytes are written.
std::expected<void, std::string> decode_group(std::string_view text, size_t at, uint8_t* out) {
    uint32_t bits = 0;
    for (size_t i = 0; i < 4; ++i) {
        const uint8_t v = value_of(text[at + i]);
        if (v == kInvalid) return std::unexpected(invalid_symbol(at + i, text[at + i]));
        bits = (bits << 6) | v;
    }
    out[0] = static_cast<uint8_t>(bits >> 16);
    out[1] = static_cast<uint8_t>(bits >> 8);
    out[2] = static_cast<uint8_t>(bits);
    return {};
}

// Decodes the last one to four symbols, padding included, and checks padding and trailing bits.
std::expected<size_t, std::string> decode_tail(std::string_view text, size_t start, uint8_t* out) {
    uint8_t values[4] = {};
    size_t symbols = 0;
    size_t padding = 0;
    size_t first_pad = 0;
    char last_symbol = 0;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (c == kPad) {
            // Padding can only follow at least two symbols of the group.
            if (i - start < 2) return std::unexpected(invalid_symbol(i, c));
            if (padding++ == 0) first_pad = i;
            continue;
        }
        // A symbol after padding: the padding was not at the end.
        if (padding > 0) return std::unexpected(invalid_symbol(first_pad, kPad));
        const uint8_t v = value_of(c);
        if (v == kInvalid) return std::unexpected(invalid_symbol(i, c));
        values[symbols++] = v;
        last_symbol = c;
    }
    if (!text.empty() && symbols < 2) {
        return std::unexpected("Invalid input length: " + std::to_string(start + symbols));
    }
    if ((symbols + padding) % 4 != 0) return std::unexpected(std::string("Invalid padding"));

    const size_t produced = symbols * 6 / 8;
    const uint32_t bits = (uint32_t{values[0]} << 26) | (uint32_t{values[1]} << 20) |
                          (uint32_t{values[2]} << 14) | (uint32_t{values[3]} << 8);
    const uint32_t unused = produced == 0 ? ~uint32_t{0} : ~uint32_t{0} >> (produced * 8);
    if ((bits & unused) != 0) {
        return std::unexpected(invalid_last_symbol(start + symbols - 1, last_symbol));
    }
    for (size_t i = 0; i < produced; ++i) out[i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
    return produced;
}

}  // namespace

std::expected<size_t, std::string> decode_into(std::string_view text, uint8_t* out) {
    const size_t n = text.size();
    const size_t rem = n % 4;
    // One symbol past a whole number of groups can never be valid; a stray trailing byte (a
    // newline, typically) is the more useful report, so it is checked first.
    if (rem == 1 && text.back() != kPad && value_of(text.back()) == kInvalid) {
        return std::unexpected(invalid_symbol(n - 1, text.back()));
    }
    // The last group, complete or not, may hold padding and is decoded separately.
    const size_t body = rem != 0 ? n - rem : (n >= 4 ? n - 4 : 0);
    size_t written = 0;
    for (size_t at = 0; at < body; at += 4) {
        if (auto ok = decode_group(text, at, out + written); !ok)
            return std::unexpected(ok.error());
        written += 3;
    }
    auto tail = decode_tail(text, body, out + written);
    if (!tail) return std::unexpected(std::move(tail.error()));
    return written + *tail;
}

std::expected<std::vector<uint8_t>, std::string> decode(std::string_view text) {
    std::vector<uint8_t> out(max_decoded_size(text.size()));
    auto size = decode_into(text, out.data());
    if (!size) return std::unexpected(std::move(size.error()));
    out.resize(*size);
    return out;
}

std::string encode(const uint8_t* data, size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3) {
        const size_t k = std::min<size_t>(3, size - i);
        uint32_t bits = uint32_t{data[i]} << 16;
        if (k > 1) bits |= uint32_t{data[i + 1]} << 8;
        if (k > 2) bits |= data[i + 2];
        for (size_t s = 0; s < 4; ++s) {
            out.push_back(s <= k ? kAlphabet[(bits >> (18 - 6 * s)) & 0x3F] : kPad);
        }
    }
    return out;
}

}  // namespace zelto::base64
