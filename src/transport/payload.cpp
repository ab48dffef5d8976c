// Decoding of a response's tensor payload: shape (sequence of i64), dtype (text), data
// (optional byte string), data_base64 (optional text). Exactly one of the last two is present.
#include <cstring>

#include "transport/base64.hpp"
#include "transport/messages.hpp"
#include "transport/wire.hpp"

namespace zelto {
namespace {

constexpr std::string_view kNeitherData = "binary tensor payload must include `data` or `data_base64`";
constexpr std::string_view kBothData =
    "binary tensor payload must include only one of `data` or `data_base64`";

// Moves `bytes`, which lie inside `buffer`, to its front and cuts the buffer to their size, so
// the payload buffer becomes the tensor's data without a second allocation.
std::vector<uint8_t> keep_only(std::vector<uint8_t>& buffer, std::span<const uint8_t> bytes) {
    const size_t size = bytes.size();
    if (size != 0) std::memmove(buffer.data(), bytes.data(), size);
    buffer.resize(size);
    return std::move(buffer);
}

}  // namespace

std::expected<Tensor, std::string> decode_tensor_payload(std::vector<uint8_t> payload) {
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

    Tensor tensor{std::move(*shape), *dtype, {}};
    if (*has_data) {
        tensor.data = keep_only(payload, data);
        return tensor;
    }
    // The decoded bytes are fewer than the text's and are written at the buffer's front, ahead
    // of the text they come from, so the payload buffer holds them as well.
    auto size = base64::decode_into(base64_text, payload.data());
    if (!size) return std::unexpected(std::move(size.error()));
    payload.resize(*size);
    tensor.data = std::move(payload);
    return tensor;
}

}  // namespace zelto
