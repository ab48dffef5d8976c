// The tensor model shared by every client: an element type, a shape and opaque bytes.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "transport/errors.hpp"

namespace zelto {

// The ordinal order is fixed: tables elsewhere are indexed by it.
enum class DType : uint8_t { Float32, Float64, Float16, Int32, Int64, Uint8, String };

// Parses a name case-insensitively (full Unicode lower-casing, no trimming), accepting the
// aliases fp32, fp64, fp16, i32, i64, u8 and utf8. Unknown names give an InvalidInput error
// whose message is "Unsupported dtype: " + the lower-cased name.
std::expected<DType, Error> parse_dtype(std::string_view name);

// The canonical name, the only spelling the library ever writes.
std::string_view canonical_name(DType dtype);

// A plain value record, carried unchecked: the shape need not match the data.
struct Tensor {
    std::vector<int64_t> shape;
    DType dtype = DType::Float32;
    std::vector<uint8_t> data;
};

}  // namespace zelto
