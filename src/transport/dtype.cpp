#include <array>
#include <utility>

#include "transport/tensor.hpp"
#include "transport/unicode_lower.hpp"

namespace zelto {
namespace {

// Canonical names, indexed by the DType ordinal.
constexpr std::array<std::string_view, 7> kCanonicalNames = {
    "float32", "float64", "float16", "int32", "int64", "uint8", "string"};

constexpr std::array<std::pair<std::string_view, DType>, 7> kAliases = {{
    {"fp32", DType::Float32},
    {"fp64", DType::Float64},
    {"fp16", DType::Float16},
    {"i32", DType::Int32},
    {"i64", DType::Int64},
    {"u8", DType::Uint8},
    {"utf8", DType::String},
}};

}  // namespace

std::expected<DType, Error> parse_dtype(std::string_view name) {
    // A canonical name lower-cases to itself: the common case needs no lower-casing pass.
    for (size_t i = 0; i < kCanonicalNames.size(); ++i) {
        if (name == kCanonicalNames[i]) return static_cast<DType>(i);
    }
    std::string lowered = unicode::to_lower(name);
    for (size_t i = 0; i < kCanonicalNames.size(); ++i) {
        if (lowered == kCanonicalNames[i]) return static_cast<DType>(i);
    }
    for (const auto& [alias, dtype] : kAliases) {
        if (lowered == alias) return dtype;
    }
    return std::unexpected(ServerError::invalid_input("Unsupported dtype: " + lowered).error());
}

std::string_view canonical_name(DType dtype) {
    const auto index = static_cast<size_t>(dtype);
    // Only a value forged by a cast can be out of range; it gets no name rather than a wrong one.
    return index < kCanonicalNames.size() ? kCanonicalNames[index] : std::string_view();
}

}  // namespace zelto
