// Frame headers and the InferRequest body.
//
// InferRequest, in field order:
//   1 shape              sequence of i64
//   2 dtype              text, the canonical name
//   3 data               optional byte string (always present from this client)
//   4 data_base64        optional text (always absent from this client)
//   5 additional_inputs  map of name (text) to a tensor payload laid out as fields 1-4
//   6 session_id         optional text
//   7 options            optional RequestOptions, sent exactly when there is an API token
//
// RequestOptions has thirteen slots, all optional: text, u64, u8, bool, text, api_token (text),
// u32, f32, f32, u32, f32, u64, sequence of u32. The api_token slot is special: when absent it
// is not written at all, not even its tag. Since options are sent only with a token, the whole
// field 7 is: 01, five 00, 01, u64 length, token, seven 00.

#include "transport/messages.hpp"

#include <algorithm>

#include "transport/wire.hpp"

namespace zelto {
namespace {

constexpr int kOptionSlotsBeforeToken = 5;
constexpr int kOptionSlotsAfterToken = 7;

void put_u32(uint8_t* out, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get_u32(const uint8_t* in) {
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

template <class Enc>
void write_tensor(Enc& enc, const TensorView& tensor) {
    enc.i64_sequence(tensor.shape);
    enc.text(canonical_name(tensor.dtype));
    enc.present();
    enc.byte_string(tensor.data);
    enc.absent();
}

template <class Enc>
void write_options(Enc& enc, const std::optional<std::string_view>& api_token) {
    if (!api_token) {
        enc.absent();
        return;
    }
    enc.present();
    for (int i = 0; i < kOptionSlotsBeforeToken; ++i) enc.absent();
    enc.present();
    enc.text(*api_token);
    for (int i = 0; i < kOptionSlotsAfterToken; ++i) enc.absent();
}

// The main input up to its data bytes: shape, dtype, data tag and the data's byte count.
template <class Enc>
void write_input_head(Enc& enc, const TensorView& input) {
    enc.i64_sequence(input.shape);
    enc.text(canonical_name(input.dtype));
    enc.present();
    enc.count(input.data.size());
}

// Everything after the main input's data bytes.
template <class Enc>
void write_request_rest(Enc& enc, const InferRequestView& request) {
    enc.absent();  // data_base64
    enc.count(request.additional_inputs.size());
    for (const NamedTensorView& named : request.additional_inputs) {
        enc.text(named.name);
        write_tensor(enc, named.tensor);
    }
    if (request.session_id) {
        enc.present();
        enc.text(*request.session_id);
    } else {
        enc.absent();
    }
    write_options(enc, request.api_token);
}

template <class Enc>
void write_request(Enc& enc, const InferRequestView& request) {
    write_input_head(enc, request.input);
    enc.fixed(request.input.data);
    write_request_rest(enc, request);
}

using Decoded = wire::Decoder::Result<std::optional<std::string>>;

Decoded optional_text(wire::Decoder& dec) {
    ZELTO_WIRE_TRY(present, dec.tag());
    if (!*present) return std::nullopt;
    ZELTO_WIRE_TRY(text, dec.text());
    return std::string(*text);
}

// Reads an optional value of a slot this side gives no meaning, checking its bytes only.
template <class Read>
wire::Decoder::Result<void> skip_optional(wire::Decoder& dec, Read read) {
    ZELTO_WIRE_TRY(present, dec.tag());
    if (*present) {
        ZELTO_WIRE_TRY(value, read(dec));
    }
    return {};
}

wire::Decoder::Result<void> skip_u32_sequence(wire::Decoder& dec) {
    ZELTO_WIRE_TRY(n, dec.count());
    for (uint64_t i = 0; i < *n; ++i) {
        ZELTO_WIRE_TRY(v, dec.u32());
    }
    return {};
}

// Returns the api_token of a present RequestOptions; every other slot is checked and dropped.
Decoded read_options(wire::Decoder& dec) {
    auto text = [](wire::Decoder& d) { return d.text(); };
    auto u64 = [](wire::Decoder& d) { return d.u64(); };
    auto u32 = [](wire::Decoder& d) { return d.u32(); };
    auto f32 = [](wire::Decoder& d) { return d.f32(); };
    ZELTO_WIRE_TRY(s1, skip_optional(dec, text));
    ZELTO_WIRE_TRY(s2, skip_optional(dec, u64));
    ZELTO_WIRE_TRY(s3, skip_optional(dec, [](wire::Decoder& d) { return d.u8(); }));
    ZELTO_WIRE_TRY(s4, skip_optional(dec, [](wire::Decoder& d) { return d.boolean(); }));
    ZELTO_WIRE_TRY(s5, skip_optional(dec, text));
    ZELTO_WIRE_TRY(token, optional_text(dec));
    ZELTO_WIRE_TRY(s7, skip_optional(dec, u32));
    ZELTO_WIRE_TRY(s8, skip_optional(dec, f32));
    ZELTO_WIRE_TRY(s9, skip_optional(dec, f32));
    ZELTO_WIRE_TRY(s10, skip_optional(dec, u32));
    ZELTO_WIRE_TRY(s11, skip_optional(dec, f32));
    ZELTO_WIRE_TRY(s12, skip_optional(dec, u64));
    ZELTO_WIRE_TRY(s13, skip_optional(dec, skip_u32_sequence));
    return std::move(*token);
}

wire::Decoder::Result<TensorPayload> read_tensor_payload(wire::Decoder& dec) {
    TensorPayload payload;
    ZELTO_WIRE_TRY(shape, dec.i64_sequence());
    payload.shape = std::move(*shape);
    ZELTO_WIRE_TRY(dtype, dec.text());
    payload.dtype = std::string(*dtype);
    ZELTO_WIRE_TRY(has_data, dec.tag());
    if (*has_data) {
        ZELTO_WIRE_TRY(data, dec.byte_string());
        payload.data.emplace(data->begin(), data->end());
    }
    ZELTO_WIRE_TRY(base64, optional_text(dec));
    payload.data_base64 = std::move(*base64);
    return payload;
}

// Smallest encoding of one additional input: name count, shape count, dtype count, two tags.
constexpr size_t kMinAdditionalInputSize = 8 + 8 + 8 + 1 + 1;

}  // namespace

std::array<uint8_t, FrameHeader::kSize> FrameHeader::encode() const {
    std::array<uint8_t, kSize> out{};
    put_u32(out.data(), model_id);
    put_u32(out.data() + 4, kind);
    put_u32(out.data() + 8, length);
    return out;
}

FrameHeader FrameHeader::decode(const uint8_t* bytes) {
    return FrameHeader{get_u32(bytes), get_u32(bytes + 4), get_u32(bytes + 8)};
}

std::array<uint8_t, ResponseHeader::kSize> ResponseHeader::encode() const {
    std::array<uint8_t, kSize> out{};
    put_u32(out.data(), status);
    put_u32(out.data() + 4, payload_size);
    return out;
}

ResponseHeader ResponseHeader::decode(const uint8_t* bytes) {
    return ResponseHeader{get_u32(bytes), get_u32(bytes + 4)};
}

size_t encoded_size(const InferRequestView& request) {
    return wire::encoded_size_of([&](auto& enc) { write_request(enc, request); });
}

std::vector<uint8_t> encode_infer_request(const InferRequestView& request) {
    return wire::encode([&](auto& enc) { write_request(enc, request); });
}

BodyAroundData encode_infer_request_around_data(const InferRequestView& request) {
    auto write = [&](auto& enc) {
        write_input_head(enc, request.input);
        write_request_rest(enc, request);
    };
    BodyAroundData body{wire::encode(write), 0};
    body.split = wire::encoded_size_of([&](auto& enc) { write_input_head(enc, request.input); });
    return body;
}

std::expected<InferRequest, std::string> decode_infer_request(std::span<const uint8_t> body) {
    wire::Decoder dec(body);
    InferRequest request;
    ZELTO_WIRE_TRY(input, read_tensor_payload(dec));
    request.input = std::move(*input);
    ZELTO_WIRE_TRY(count, dec.count());
    request.additional_inputs.reserve(
        static_cast<size_t>(std::min<uint64_t>(*count, dec.remaining() / kMinAdditionalInputSize)));
    for (uint64_t i = 0; i < *count; ++i) {
        ZELTO_WIRE_TRY(name, dec.text());
        ZELTO_WIRE_TRY(tensor, read_tensor_payload(dec));
        request.additional_inputs.emplace_back(std::string(*name), std::move(*tensor));
    }
    ZELTO_WIRE_TRY(session_id, optional_text(dec));
    request.session_id = std::move(*session_id);
    ZELTO_WIRE_TRY(has_options, dec.tag());
    if (*has_options) {
        ZELTO_WIRE_TRY(token, read_options(dec));
        request.api_token = std::move(*token);
    }
    return request;
}

std::vector<uint8_t> encode_tensor_payload(const TensorPayload& payload) {
    return wire::encode([&](auto& enc) {
        enc.i64_sequence(payload.shape);
        enc.text(payload.dtype);
        if (payload.data) {
            enc.present();
            enc.byte_string(*payload.data);
        } else {
            enc.absent();
        }
        if (payload.data_base64) {
            enc.present();
            enc.text(*payload.data_base64);
        } else {
            enc.absent();
        }
    });
}

}  // namespace zelto
