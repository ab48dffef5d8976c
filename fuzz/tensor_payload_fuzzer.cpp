// Arbitrary bytes as the tensor payload of a response, raw or base64.
//
// The decoder reuses the payload buffer for the tensor's data: raw bytes are moved to its
// front, base64 is decoded in place ahead of the text it comes from. The checks compare that
// result with a plain reading of the same fields into separate buffers, and hold the strict
// base64 decoder to its promise that every text it accepts is the one canonical encoding of
// its bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "transport/base64.hpp"
#include "transport/messages.hpp"
#include "transport/wire.hpp"

namespace {

// The four fields read without any of the payload rules, or nothing if the bytes do not hold
// them.
struct Fields {
    std::vector<int64_t> shape;
    std::string_view dtype;
    std::optional<std::span<const uint8_t>> data;
    std::optional<std::string_view> base64;
};

std::optional<Fields> read_fields(std::span<const uint8_t> input) {
    zelto::wire::Decoder dec(input);
    Fields fields;
    auto shape = dec.i64_sequence();
    if (!shape) return std::nullopt;
    fields.shape = std::move(*shape);
    auto dtype = dec.text();
    if (!dtype) return std::nullopt;
    fields.dtype = *dtype;
    auto has_data = dec.tag();
    if (!has_data) return std::nullopt;
    if (*has_data) {
        auto bytes = dec.byte_string();
        if (!bytes) return std::nullopt;
        fields.data = *bytes;
    }
    auto has_base64 = dec.tag();
    if (!has_base64) return std::nullopt;
    if (*has_base64) {
        auto text = dec.text();
        if (!text) return std::nullopt;
        fields.base64 = *text;
    }
    return fields;
}

// The whole input as one text. Strict base64: what decodes re-encodes to the same text, and
// any bytes survive an encode/decode round trip. The dtype parser lower-cases with its Unicode
// table and must cope with bytes that are not UTF-8 at all.
void check_text(std::span<const uint8_t> input) {
    const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
    if (auto dtype = zelto::parse_dtype(text)) {
        FUZZ_CHECK(zelto::parse_dtype(zelto::canonical_name(*dtype)) == *dtype);
    }
    if (auto decoded = zelto::base64::decode(text)) {
        FUZZ_CHECK(zelto::base64::encode(decoded->data(), decoded->size()) == text);
    } else {
        FUZZ_CHECK(!decoded.error().empty());
    }
    const std::string encoded = zelto::base64::encode(input.data(), input.size());
    auto back = zelto::base64::decode(encoded);
    FUZZ_CHECK(back.has_value() && std::ranges::equal(*back, input));
}

void check_payload(std::span<const uint8_t> input) {
    std::vector<uint8_t> payload(input.begin(), input.end());
    auto tensor = zelto::decode_tensor_payload(payload);
    auto fields = read_fields(input);
    if (!fields) {
        FUZZ_CHECK(!tensor.has_value());
        return;
    }
    auto dtype = zelto::parse_dtype(fields->dtype);
    if (!dtype || fields->data.has_value() == fields->base64.has_value()) {
        FUZZ_CHECK(!tensor.has_value());
        return;
    }
    if (fields->data) {
        FUZZ_CHECK(tensor.has_value());
        FUZZ_CHECK(std::ranges::equal(tensor->data, *fields->data));
    } else {
        auto expected = zelto::base64::decode(*fields->base64);
        if (!expected) {
            FUZZ_CHECK(!tensor.has_value() && tensor.error() == expected.error());
            return;
        }
        FUZZ_CHECK(tensor.has_value());
        FUZZ_CHECK(std::ranges::equal(tensor->data, *expected));
        FUZZ_CHECK(zelto::base64::encode(tensor->data.data(), tensor->data.size()) ==
                   *fields->base64);
    }
    FUZZ_CHECK(tensor->shape == fields->shape);
    FUZZ_CHECK(tensor->dtype == *dtype);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    check_payload(input);
    check_text(input);
    return 0;
}
