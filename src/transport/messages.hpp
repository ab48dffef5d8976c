// The frames and bodies of the socket protocol.
//
// Request frame:  FrameHeader (12 bytes) + body.     Response frame: ResponseHeader (8 bytes) +
//   0 u32 model_id                                      payload.
//   4 u32 kind (1 infer, 2 stream, 4 hybrid)              0 u32 status
//   8 u32 body length                                     4 u32 payload_size
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "transport/tensor.hpp"

namespace zelto {

enum class RequestKind : uint32_t { Infer = 1, Stream = 2, Hybrid = 4 };

struct FrameHeader {
    static constexpr size_t kSize = 12;
    uint32_t model_id = 0;
    uint32_t kind = 0;
    uint32_t length = 0;
    std::array<uint8_t, kSize> encode() const;
    static FrameHeader decode(const uint8_t* bytes);  // reads exactly kSize bytes
};

struct ResponseHeader {
    static constexpr size_t kSize = 8;
    uint32_t status = 0;
    uint32_t payload_size = 0;
    std::array<uint8_t, kSize> encode() const;
    static ResponseHeader decode(const uint8_t* bytes);  // reads exactly kSize bytes
};

// A tensor as the client sends it: views into the caller's data, dtype already parsed.
struct TensorView {
    std::span<const int64_t> shape;
    DType dtype = DType::Float32;
    std::span<const uint8_t> data;
};

struct NamedTensorView {
    std::string_view name;
    TensorView tensor;
};

// The body of request kinds 1 and 2.
struct InferRequestView {
    TensorView input;
    std::span<const NamedTensorView> additional_inputs;
    std::optional<std::string_view> session_id;
    std::optional<std::string_view> api_token;  // RequestOptions is sent exactly when present
};

// Exact encoded size, then the encoding into one buffer of exactly that size.
size_t encoded_size(const InferRequestView& request);
std::vector<uint8_t> encode_infer_request(const InferRequestView& request);

// The same body without the main input's data bytes, which belong at `split`:
// encode_infer_request(request) == framing[0, split) + request.input.data + framing[split, end).
// A request can then leave in one gathering write without copying a large input into a body.
struct BodyAroundData {
    std::vector<uint8_t> framing;
    size_t split = 0;
};
BodyAroundData encode_infer_request_around_data(const InferRequestView& request);

// The wire form of a tensor payload (shape, dtype text, data, data_base64).
struct TensorPayload {
    std::vector<int64_t> shape;
    std::string dtype;
    std::optional<std::vector<uint8_t>> data;
    std::optional<std::string> data_base64;
};

// Server side: a decoded request body (the reference server and tests use this).
struct InferRequest {
    TensorPayload input;
    std::vector<std::pair<std::string, TensorPayload>> additional_inputs;
    std::optional<std::string> session_id;
    std::optional<std::string> api_token;
};
std::expected<InferRequest, std::string> decode_infer_request(std::span<const uint8_t> body);

// Encodes a BinaryTensorPacketPayload record (servers and tests).
std::vector<uint8_t> encode_tensor_payload(const TensorPayload& payload);

// A response tensor decoded in place: its data is a view into the payload it was decoded from.
struct DecodedTensor {
    std::vector<int64_t> shape;
    DType dtype = DType::Float32;
    std::span<const uint8_t> data;
};

// Decodes a response payload without copying its data: raw data is viewed where it lies, and
// base64 text is decoded into the payload's own front, overwriting the payload. Errors carry
// the decoder's message.
std::expected<DecodedTensor, std::string> decode_tensor_payload(std::span<uint8_t> payload);

// A payload can also be decoded in three segments, so that its raw data can be received straight
// into memory of the caller's choosing while the fields around it go through a small buffer:
//   head  the fields before the data bytes: shape, dtype, the data option's tag, the data's length
//   data  the data bytes
//   tail  everything after them: the data_base64 option and any bytes the decoder ignores
// place_raw_data finds the segments from the payload's first bytes; decode_tensor_payload_head
// and finish_tensor_payload then give exactly what decode_tensor_payload gives for the whole
// payload (the same checks in the same order, the same messages).

// Where the raw data of a payload of `payload_size` bytes lies, judged from its first bytes
// `front`. NeedMore: the first `head_size` bytes are needed to tell (always more than `front`,
// never more than the payload). Located: the data begins at `head_size` and has `data_size`
// bytes, all inside the payload. Elsewhere: there are no raw data bytes inside the payload (the
// data option is absent or its tag is not 1, or a count runs past the payload): only the whole
// payload's decoding can tell what it holds.
struct DataPlacement {
    enum class Kind { NeedMore, Located, Elsewhere };
    Kind kind = Kind::Elsewhere;
    size_t head_size = 0;
    size_t data_size = 0;
};
DataPlacement place_raw_data(std::span<const uint8_t> front, size_t payload_size);

// The fields of a payload's head, decoded.
struct TensorPayloadHead {
    std::vector<int64_t> shape;
    DType dtype = DType::Float32;
    bool has_data = false;
    uint64_t data_size = 0;  // when has_data
};
// Decodes the head of a Located payload (its first head_size bytes).
std::expected<TensorPayloadHead, std::string> decode_tensor_payload_head(
    std::span<const uint8_t> head);
// Decodes the rest of the payload whose head was `head`, given its data (head.data_size bytes,
// viewed where they lie) and its tail (which a base64 text would be decoded into).
std::expected<DecodedTensor, std::string> finish_tensor_payload(TensorPayloadHead head,
                                                                std::span<const uint8_t> data,
                                                                std::span<uint8_t> tail);

// UTF-8 decoding with every invalid sequence replaced by U+FFFD, as servers' error texts are shown.
std::string utf8_lossy(std::span<const uint8_t> bytes);

}  // namespace zelto
