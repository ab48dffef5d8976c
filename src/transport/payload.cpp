// Decoding of a response's tensor payload: shape (sequence of i64), dtype (text), data
// (optional byte string), data_base64 (optional text). Exactly one of the last two is present.
#include <algorithm>
#include <optional>

#include "transport/base64.hpp"
#include "transport/messages.hpp"
#include "transport/wire.hpp"

namespace zelto {
namespace {

constexpr std::string_view kNeitherData =
    "binary tensor payload must include `data` or `data_base64`";
constexpr std::string_view kBothData =
    "binary tensor payload must include only one of `data` or `data_base64`";

// The fields before the data bytes, in wire order.
std::expected<TensorPayloadHead, std::string> read_head(wire::Decoder& dec) {
    ZELTO_WIRE_TRY(shape, dec.i64_sequence());
    ZELTO_WIRE_TRY(dtype_text, dec.text());
    const auto dtype = parse_dtype(*dtype_text);
    if (!dtype) return std::unexpected(dtype.error().message);

    ZELTO_WIRE_TRY(has_data, dec.tag());
    TensorPayloadHead head{std::move(*shape), *dtype, *has_data, 0};
    if (*has_data) {
        ZELTO_WIRE_TRY(size, dec.count());
        head.data_size = *size;
    }
    return head;
}

// The fields after the data bytes, then the rule that exactly one of data and data_base64 is
// present. Base64 text is decoded to `decode_to`, which must not start after the text: the
// decoded bytes are fewer than the text's and each is written behind the symbols it came from.
std::expected<DecodedTensor, std::string> read_tail(wire::Decoder& dec, TensorPayloadHead head,
                                                    std::span<const uint8_t> data,
                                                    uint8_t* decode_to) {
    ZELTO_WIRE_TRY(has_base64, dec.tag());
    std::string_view base64_text;
    if (*has_base64) {
        ZELTO_WIRE_TRY(text, dec.text());
        base64_text = *text;
    }

    if (head.has_data && *has_base64) return std::unexpected(std::string(kBothData));
    if (!head.has_data && !*has_base64) return std::unexpected(std::string(kNeitherData));

    if (head.has_data) return DecodedTensor{std::move(head.shape), head.dtype, data};
    auto size = base64::decode_into(base64_text, decode_to);
    if (!size) return std::unexpected(std::move(size.error()));
    return DecodedTensor{std::move(head.shape), head.dtype, std::span(decode_to, *size)};
}

uint64_t u64_at(std::span<const uint8_t> bytes, size_t end) {
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) v |= uint64_t{bytes[end - 8 + i]} << (8 * i);
    return v;
}

}  // namespace

std::expected<DecodedTensor, std::string> decode_tensor_payload(std::span<uint8_t> payload) {
    wire::Decoder dec(payload);
    auto head = read_head(dec);
    if (!head) return std::unexpected(std::move(head.error()));
    std::span<const uint8_t> data;
    if (head->has_data) {
        // The bytes are viewed, not copied: a count beyond the input allocates nothing.
        ZELTO_WIRE_TRY(
            bytes, dec.fixed(static_cast<size_t>(std::min<uint64_t>(head->data_size, SIZE_MAX))));
        data = *bytes;
    }
    return read_tail(dec, std::move(*head), data, payload.data());
}

DataPlacement place_raw_data(std::span<const uint8_t> front, size_t payload_size) {
    using Kind = DataPlacement::Kind;
    constexpr DataPlacement kElsewhere{Kind::Elsewhere, 0, 0};
    size_t end = 0;  // where the fields walked so far end
    // The next field, of `size` bytes: inside the payload, and inside `front` to go on.
    auto field = [&](uint64_t size) -> std::optional<DataPlacement> {
        if (size > payload_size - end) return kElsewhere;
        end += static_cast<size_t>(size);
        if (front.size() < end) return DataPlacement{Kind::NeedMore, end, 0};
        return std::nullopt;
    };
    if (auto stop = field(8)) return *stop;
    const uint64_t rank = u64_at(front, end);
    if (rank > (payload_size - end) / 8) return kElsewhere;
    if (auto stop = field(rank * 8)) return *stop;  // the dimensions
    if (auto stop = field(8)) return *stop;
    if (auto stop = field(u64_at(front, end))) return *stop;  // the dtype text
    if (auto stop = field(1)) return *stop;
    if (front[end - 1] != 1) return kElsewhere;  // no raw data: base64, or a failure
    if (auto stop = field(8)) return *stop;
    const uint64_t data_size = u64_at(front, end);
    if (data_size > payload_size - end) return kElsewhere;
    return DataPlacement{Kind::Located, end, static_cast<size_t>(data_size)};
}

std::expected<TensorPayloadHead, std::string> decode_tensor_payload_head(
    std::span<const uint8_t> head) {
    wire::Decoder dec(head);
    return read_head(dec);
}

std::expected<DecodedTensor, std::string> finish_tensor_payload(TensorPayloadHead head,
                                                                std::span<const uint8_t> data,
                                                                std::span<uint8_t> tail) {
    wire::Decoder dec(tail);
    return read_tail(dec, std::move(head), data, tail.data());
}

}  // namespace zelto
