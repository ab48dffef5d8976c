// Arbitrary bytes as the tensor payload of a response, raw or base64.
//
// The decoder reuses the payload buffer for the tensor's data: raw bytes are moved to its
// front, base64 is decoded in place ahead of the text it comes from. The checks compare that
// result with a plain reading of the same fields into separate buffers, and hold the strict
// base64 decoder to its promise that every text it accepts is the one canonical encoding of
// its bytes. The same payload decoded in segments (head, data, tail, as a socket client reads
// it into memory of its caller) must give exactly what the whole payload's decoding gives.
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

// The head found as a reader finds it, from ever longer fronts of the payload, each asking for
// more than it had and never for more than the payload; then head, data and tail decoded apart.
void check_segments(std::span<const uint8_t> input) {
    std::vector<uint8_t> whole(input.begin(), input.end());
    const auto expected = zelto::decode_tensor_payload(whole);

    zelto::DataPlacement placement = zelto::place_raw_data({}, input.size());
    size_t front = 0;
    while (placement.kind == zelto::DataPlacement::Kind::NeedMore) {
        FUZZ_CHECK(placement.head_size > front && placement.head_size <= input.size());
        front = placement.head_size;
        placement = zelto::place_raw_data(input.first(front), input.size());
    }
    if (placement.kind != zelto::DataPlacement::Kind::Located) return;
    FUZZ_CHECK(placement.head_size == front);
    FUZZ_CHECK(placement.data_size <= input.size() - placement.head_size);

    auto head = zelto::decode_tensor_payload_head(input.first(placement.head_size));
    if (!head) {
        FUZZ_CHECK(!expected.has_value() && head.error() == expected.error());
        return;
    }
    FUZZ_CHECK(head->has_data && head->data_size == placement.data_size);
    const auto data = input.subspan(placement.head_size, placement.data_size);
    std::vector<uint8_t> tail(input.begin() + placement.head_size + placement.data_size,
                              input.end());
    const auto tensor = zelto::finish_tensor_payload(std::move(*head), data, tail);
    FUZZ_CHECK(tensor.has_value() == expected.has_value());
    if (!tensor) {
        FUZZ_CHECK(tensor.error() == expected.error());
        return;
    }
    FUZZ_CHECK(tensor->data.data() == data.data() &&
               std::ranges::equal(tensor->data, expected->data));
    FUZZ_CHECK(tensor->shape == expected->shape && tensor->dtype == expected->dtype);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> input(data, size);
    check_payload(input);
    check_segments(input);
    check_text(input);
    return 0;
}
