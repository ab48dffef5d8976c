#include "transport/utf8.hpp"

#include <string_view>

#include "transport/messages.hpp"

namespace zelto::utf8 {
namespace {

bool is_continuation(uint8_t b) {
    return (b & 0xC0) == 0x80;
}

// Bytes a sequence has, from its first byte; 0 for a byte that cannot start one (a continuation
// byte, the overlong leads C0 and C1, and F5 to FF).
size_t sequence_width(uint8_t first) {
    if (first < 0x80) return 1;
    if (first >= 0xC2 && first <= 0xDF) return 2;
    if (first >= 0xE0 && first <= 0xEF) return 3;
    if (first >= 0xF0 && first <= 0xF4) return 4;
    return 0;
}

// The second byte's allowed range depends on the first, which rules out overlong forms,
// surrogates and code points above U+10FFFF.
bool second_byte_fits(uint8_t first, uint8_t second) {
    switch (first) {
        case 0xE0:
            return second >= 0xA0 && second <= 0xBF;
        case 0xED:
            return second >= 0x80 && second <= 0x9F;
        case 0xF0:
            return second >= 0x90 && second <= 0xBF;
        case 0xF4:
            return second >= 0x80 && second <= 0x8F;
        default:
            return is_continuation(second);
    }
}

// Length of the valid sequence at bytes[pos], or the error for it.
std::optional<size_t> sequence_at(std::span<const uint8_t> bytes, size_t pos, Utf8Error& error) {
    error.valid_up_to = pos;
    const size_t width = sequence_width(bytes[pos]);
    if (width == 0) {
        error.error_len = 1;
        return std::nullopt;
    }
    for (size_t k = 1; k < width; ++k) {
        if (pos + k >= bytes.size()) {
            error.error_len.reset();
            return std::nullopt;
        }
        const uint8_t b = bytes[pos + k];
        if (k == 1 ? !second_byte_fits(bytes[pos], b) : !is_continuation(b)) {
            error.error_len = k;
            return std::nullopt;
        }
    }
    return width;
}

}  // namespace

std::optional<Utf8Error> validate(std::span<const uint8_t> bytes) {
    size_t pos = 0;
    Utf8Error error;
    while (pos < bytes.size()) {
        if (bytes[pos] < 0x80) {
            ++pos;
            continue;
        }
        const auto width = sequence_at(bytes, pos, error);
        if (!width) return error;
        pos += *width;
    }
    return std::nullopt;
}

std::string describe(const Utf8Error& error) {
    const std::string index = std::to_string(error.valid_up_to);
    if (error.error_len) {
        return "invalid utf-8 sequence of " + std::to_string(*error.error_len) +
               " bytes from index " + index;
    }
    return "incomplete utf-8 byte sequence from index " + index;
}

std::optional<char32_t> decode_at(std::span<const uint8_t> bytes, size_t& pos) {
    const uint8_t first = bytes[pos];
    Utf8Error error;
    const auto width = first < 0x80 ? std::optional<size_t>(1) : sequence_at(bytes, pos, error);
    if (!width) {
        ++pos;
        return std::nullopt;
    }
    static constexpr uint8_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t cp = first & kLeadMask[*width];
    for (size_t k = 1; k < *width; ++k) cp = (cp << 6) | (bytes[pos + k] & 0x3F);
    pos += *width;
    return cp;
}

void append(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace zelto::utf8

namespace zelto {

// Each maximal invalid subpart becomes one U+FFFD, and so does an incomplete sequence at the end.
std::string utf8_lossy(std::span<const uint8_t> bytes) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const auto error = utf8::validate(bytes);
        const size_t valid = error ? error->valid_up_to : bytes.size();
        out.append(reinterpret_cast<const char*>(bytes.data()), valid);
        if (!error) break;
        out.append(kReplacement);
        bytes = error->error_len ? bytes.subspan(valid + *error->error_len)
                                 : bytes.subspan(bytes.size());
    }
    return out;
}

}  // namespace zelto
