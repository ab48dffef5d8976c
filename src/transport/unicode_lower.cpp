#include "transport/unicode_lower.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "transport/utf8.hpp"

namespace zelto::unicode {
namespace {

struct LowerRun {
    char32_t first;
    char32_t last;
    uint8_t stride;
    int32_t delta;
};

struct LowerSpecial {
    char32_t cp;
    uint8_t count;
    char32_t lowered[3];
};

struct CodePointRange {
    char32_t first;
    char32_t last;
};

#include "transport/unicode_lower_table.inc"

constexpr char32_t kCapitalSigma = 0x03A3;
constexpr char32_t kSmallSigma = 0x03C3;
constexpr char32_t kFinalSigma = 0x03C2;
// Bytes that are not valid UTF-8 are carried as kRawByte + byte: above every code point, so no
// table matches them and they count as neither cased nor case-ignorable.
constexpr char32_t kRawByte = 0x110000;

template <size_t N>
bool in_ranges(const CodePointRange (&ranges)[N], char32_t cp) {
    const auto it =
        std::upper_bound(std::begin(ranges), std::end(ranges), cp,
                         [](char32_t c, const CodePointRange& r) { return c < r.first; });
    return it != std::begin(ranges) && cp <= std::prev(it)->last;
}

bool is_case_ignorable(char32_t cp) {
    return in_ranges(kCaseIgnorable, cp);
}
bool is_cased(char32_t cp) {
    return in_ranges(kCased, cp);
}

char32_t simple_lower(char32_t cp) {
    const auto it = std::upper_bound(std::begin(kLowerRuns), std::end(kLowerRuns), cp,
                                     [](char32_t c, const LowerRun& r) { return c < r.first; });
    if (it == std::begin(kLowerRuns)) return cp;
    const LowerRun& run = *std::prev(it);
    if (cp > run.last || (cp - run.first) % run.stride != 0) return cp;
    return static_cast<char32_t>(static_cast<int32_t>(cp) + run.delta);
}

const LowerSpecial* special_lower(char32_t cp) {
    for (const LowerSpecial& s : kLowerSpecials) {
        if (s.cp == cp) return &s;
    }
    return nullptr;
}

// A capital sigma is final when a cased character precedes it and none follows it, skipping
// case-ignorable characters in both directions (a character that is both counts as ignorable).
bool is_final_sigma(const std::vector<char32_t>& cps, size_t i) {
    size_t j = i;
    while (j > 0 && is_case_ignorable(cps[j - 1])) --j;
    if (j == 0 || !is_cased(cps[j - 1])) return false;
    size_t k = i + 1;
    while (k < cps.size() && is_case_ignorable(cps[k])) ++k;
    return k == cps.size() || !is_cased(cps[k]);
}

std::vector<char32_t> decode(std::string_view text) {
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()),
                                         text.size());
    std::vector<char32_t> cps;
    cps.reserve(text.size());
    size_t pos = 0;
    while (pos < bytes.size()) {
        const uint8_t first = bytes[pos];
        const auto cp = utf8::decode_at(bytes, pos);
        cps.push_back(cp ? *cp : kRawByte + first);
    }
    return cps;
}

void append_lowered(std::string& out, const std::vector<char32_t>& cps, size_t i) {
    const char32_t cp = cps[i];
    if (cp >= kRawByte) {
        out.push_back(static_cast<char>(cp - kRawByte));
    } else if (cp == kCapitalSigma) {
        utf8::append(out, is_final_sigma(cps, i) ? kFinalSigma : kSmallSigma);
    } else if (const LowerSpecial* special = special_lower(cp)) {
        for (uint8_t k = 0; k < special->count; ++k) utf8::append(out, special->lowered[k]);
    } else {
        utf8::append(out, simple_lower(cp));
    }
}

}  // namespace

std::string to_lower(std::string_view text) {
    std::string out;
    if (std::all_of(text.begin(), text.end(),
                    [](char c) { return static_cast<uint8_t>(c) < 0x80; })) {
        out.resize(text.size());
        std::transform(text.begin(), text.end(), out.begin(),
                       [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
        return out;
    }
    const std::vector<char32_t> cps = decode(text);
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < cps.size(); ++i) append_lowered(out, cps, i);
    return out;
}

}  // namespace zelto::unicode
