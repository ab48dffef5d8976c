// Decoding of a response's tensor payload: shape (sequence of i64), dtype (text), data
// (optional byte string), data_base64 (optional text). Exactly one of the last two is present.
#include "transport/base64.hpp"
#include "transport/messages.hpp"
#include "transport/wire.hpp"

namespace zelto {
namespace {

constexpr std::string_view kNeitherData =
    "binary tensor payload must include `data` or `data_base64`";
constexpr std::string_view kBothData =
    "binary tensor payload must include only one of `data` or `data_base64`";

}  // namespace

std::expected<DecodedTensor, std::string> decode_tensor_payload(std::span<uint8_t> payload) {
    wire::Decoder dec(payload);
    ZELTO_WIRE_TRY(shape, dec.i64_sequence());
    ZELTO_WIRE_TRY(dtype_text, dec.text());
    const auto dtype = parse_dtype(*dtype_text);
    if (!dtype) return std::unexpected(dtype.error().display());

    ZELTO_WIRE_TRY(has_data, dec.tag());
    std::span<const uint8_t> data;
    if (*has_data) {
        ZELTO_WIRE_TRY(bytes, dec.byte_string());
        data = *bytes;
    }
    ZELTO_WIRE_TRY(has_base64, dec.tag());
    std::string_view base64_text;
    if (*has_base64) {
        ZELTO_WIRE_TRY(text, dec.text());
        base64_text = *text;
    }

    if (*has_data && *has_base64) return std::unexpected(std::string(kBothData));
    if (!*has_data && !*has_base64) return std::unexpected(std::string(kNeitherData));

    if (*has_data) return DecodedTensor{std::move(*shape), *dtype, data};
    // The decoded bytes are fewer than the text's and are written at the payload's front, ahead
    // of the text they come from.
    auto size = base64::decode_into(base64_text, payload.data());
    if (!size) return std::unexpected(std::move(size.error()));
    return DecodedTensor{std::move(*shape), *dtype, payload.first(*size)};
}

}  // namespace zelto
