#include "transport/messages.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "byte_helpers.hpp"

namespace zelto {
namespace {

using test_bytes::Bytes;
using test_bytes::bytes_of;
using test_bytes::concat;
using test_bytes::u64_le;

Bytes text(std::string_view s) {
    return concat({u64_le(s.size()), bytes_of(s)});
}

const int64_t kShape2[] = {2};
const uint8_t kOneTwo[] = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40};  // floats 1.0, 2.0

// Field 1 to 4 of the request body for shape [2], float32, the floats 1.0 and 2.0.
Bytes worked_example_tensor() {
    return concat({u64_le(1),
                   u64_le(2),
                   text("float32"),
                   {0x01},
                   u64_le(8),
                   Bytes(std::begin(kOneTwo), std::end(kOneTwo)),
                   {0x00}});
}

InferRequestView worked_example_request() {
    return InferRequestView{TensorView{kShape2, DType::Float32, kOneTwo}, {}, {}, {}};
}

TEST(Messages, WorkedExampleFrameIsByteExact) {
    const Bytes body = encode_infer_request(worked_example_request());
    ASSERT_EQ(body.size(), 59u);
    ASSERT_EQ(encoded_size(worked_example_request()), 59u);
    const auto header = FrameHeader{7, static_cast<uint32_t>(RequestKind::Infer),
                                    static_cast<uint32_t>(body.size())}
                            .encode();
    Bytes frame(header.begin(), header.end());
    frame.insert(frame.end(), body.begin(), body.end());

    const Bytes expected = concat({{7, 0, 0, 0, 1, 0, 0, 0, 0x3B, 0, 0, 0},
                                   worked_example_tensor(),
                                   u64_le(0),  // no additional inputs
                                   {0x00},     // no session id
                                   {0x00}});   // no options
    EXPECT_EQ(frame, expected);
    EXPECT_EQ(frame.size(), 71u);
}

TEST(Messages, HeadersAreLittleEndianBothWays) {
    const FrameHeader frame{0x01020304, 2, 0xA0B0C0D0};
    const auto frame_bytes = frame.encode();
    EXPECT_EQ(Bytes(frame_bytes.begin(), frame_bytes.end()),
              (Bytes{4, 3, 2, 1, 2, 0, 0, 0, 0xD0, 0xC0, 0xB0, 0xA0}));
    const FrameHeader back = FrameHeader::decode(frame_bytes.data());
    EXPECT_EQ(back.model_id, frame.model_id);
    EXPECT_EQ(back.kind, frame.kind);
    EXPECT_EQ(back.length, frame.length);

    const uint8_t response[] = {0, 0, 0, 0, 0x31, 0, 0, 0};
    const ResponseHeader header = ResponseHeader::decode(response);
    EXPECT_EQ(header.status, 0u);
    EXPECT_EQ(header.payload_size, 49u);
    const auto again = header.encode();
    EXPECT_EQ(Bytes(again.begin(), again.end()), Bytes(std::begin(response), std::end(response)));
}

// Bytes that follow field 4 of the main input, for a request variant.
struct TailCase {
    std::string name;
    std::optional<std::string_view> session_id;
    std::optional<std::string_view> api_token;
    Bytes tail;
};

class MessagesRequestTail : public ::testing::TestWithParam<TailCase> {};

TEST_P(MessagesRequestTail, SessionAndOptionsFields) {
    InferRequestView request = worked_example_request();
    request.session_id = GetParam().session_id;
    request.api_token = GetParam().api_token;
    const Bytes body = encode_infer_request(request);
    const Bytes expected = concat({worked_example_tensor(), u64_le(0), GetParam().tail});
    EXPECT_EQ(body, expected);
    EXPECT_EQ(encoded_size(request), body.size());
}

INSTANTIATE_TEST_SUITE_P(
    Variants, MessagesRequestTail,
    ::testing::Values(
        TailCase{"Neither", std::nullopt, std::nullopt, {0x00, 0x00}},
        TailCase{"Session", "s-1", std::nullopt, concat({{0x01}, text("s-1"), {0x00}})},
        TailCase{"Token", std::nullopt, "tok",
                 concat({{0x00}, {0x01, 0, 0, 0, 0, 0, 0x01}, text("tok"), Bytes(7, 0)})},
        TailCase{"EmptyToken", std::nullopt, "",
                 concat({{0x00}, {0x01, 0, 0, 0, 0, 0, 0x01}, u64_le(0), Bytes(7, 0)})},
        TailCase{"Both", "s", "t",
                 concat({{0x01}, text("s"), {0x01, 0, 0, 0, 0, 0, 0x01}, text("t"), Bytes(7, 0)})}),
    [](const auto& info) { return info.param.name; });

TEST(Messages, AdditionalInputsAndNegativeDimensions) {
    const int64_t shape[] = {-1};
    const NamedTensorView extra[] = {{"mask", TensorView{{}, DType::Uint8, {}}}};
    const InferRequestView request{TensorView{shape, DType::Float16, {}}, extra, {}, {}};
    const Bytes body = encode_infer_request(request);
    const Bytes expected = concat({u64_le(1),
                                   Bytes(8, 0xFF),
                                   text("float16"),
                                   {0x01},
                                   u64_le(0),
                                   {0x00},
                                   // field 5: one entry
                                   u64_le(1),
                                   text("mask"),
                                   u64_le(0),
                                   text("uint8"),
                                   {0x01},
                                   u64_le(0),
                                   {0x00},
                                   // fields 6 and 7
                                   {0x00, 0x00}});
    EXPECT_EQ(body, expected);
}

TEST(Messages, ServerSideDecodesWhatTheClientEncodes) {
    const int64_t shape[] = {3, 1};
    const uint8_t data[] = {1, 2, 3};
    const uint8_t mask[] = {9};
    const NamedTensorView extra[] = {{"mask", TensorView{shape, DType::Uint8, mask}},
                                     {"ids", TensorView{{}, DType::Int64, {}}}};
    const InferRequestView request{TensorView{shape, DType::String, data}, extra, "sess", "secret"};
    const Bytes body = concat({encode_infer_request(request), {0xEE}});  // trailing byte ignored

    const auto decoded = decode_infer_request(body);
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(decoded->input.shape, (std::vector<int64_t>{3, 1}));
    EXPECT_EQ(decoded->input.dtype, "string");
    EXPECT_EQ(decoded->input.data, (Bytes{1, 2, 3}));
    EXPECT_FALSE(decoded->input.data_base64.has_value());
    ASSERT_EQ(decoded->additional_inputs.size(), 2u);
    EXPECT_EQ(decoded->additional_inputs[0].first, "mask");
    EXPECT_EQ(decoded->additional_inputs[0].second.data, (Bytes{9}));
    EXPECT_EQ(decoded->additional_inputs[1].first, "ids");
    EXPECT_EQ(decoded->additional_inputs[1].second.dtype, "int64");
    EXPECT_EQ(decoded->session_id, "sess");
    EXPECT_EQ(decoded->api_token, "secret");
}

TEST(Messages, ServerSideReadsEveryOptionSlot) {
    // Options with every slot present: text, u64, u8, bool, text, token, u32, f32, f32, u32,
    // f32, u64, sequence of u32.
    const Bytes options = concat({{0x01},
                                  {0x01},
                                  text("a"),
                                  {0x01},
                                  u64_le(9),
                                  {0x01, 0x07},
                                  {0x01, 0x01},
                                  {0x01},
                                  text("b"),
                                  {0x01},
                                  text("tok"),
                                  {0x01, 1, 0, 0, 0},
                                  {0x01, 0, 0, 0x80, 0x3F},
                                  {0x01, 0, 0, 0, 0},
                                  {0x01, 2, 0, 0, 0},
                                  {0x01, 0, 0, 0, 0},
                                  {0x01},
                                  u64_le(3),
                                  {0x01},
                                  u64_le(2),
                                  Bytes(8, 0)});
    const Bytes body = concat({worked_example_tensor(), u64_le(0), {0x00}, options});
    const auto decoded = decode_infer_request(body);
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(decoded->api_token, "tok");

    Bytes cut = body;
    cut.pop_back();
    EXPECT_EQ(decode_infer_request(cut).error(), "io error: unexpected end of file");
}

TEST(Messages, ServerSideRejectsHugeCountsWithoutAllocating) {
    const Bytes huge_inputs = concat({worked_example_tensor(), u64_le(uint64_t{1} << 58)});
    EXPECT_EQ(decode_infer_request(huge_inputs).error(), "io error: unexpected end of file");
    const Bytes huge_data = concat({u64_le(0), text("uint8"), {0x01}, u64_le(UINT64_MAX - 1)});
    EXPECT_EQ(decode_infer_request(huge_data).error(), "io error: unexpected end of file");
}

// ---- response payloads ----

TensorPayload payload(std::string dtype, std::optional<Bytes> data,
                      std::optional<std::string> base64) {
    return TensorPayload{{2, 2}, std::move(dtype), std::move(data), std::move(base64)};
}

struct PayloadCase {
    std::string name;
    Bytes encoded;
    std::expected<Tensor, std::string> expected;
};

class MessagesTensorPayload : public ::testing::TestWithParam<PayloadCase> {};

// The payload decoded as a socket client reads it into memory of its caller: the head found from
// ever longer fronts of the payload, then head, data and tail decoded apart. A payload without
// raw data inside it is decoded whole.
std::expected<DecodedTensor, std::string> decode_in_segments(std::span<uint8_t> payload) {
    DataPlacement placement = place_raw_data({}, payload.size());
    size_t front = 0;
    while (placement.kind == DataPlacement::Kind::NeedMore) {
        EXPECT_GT(placement.head_size, front);
        EXPECT_LE(placement.head_size, payload.size());
        front = placement.head_size;
        placement = place_raw_data(payload.first(front), payload.size());
    }
    if (placement.kind != DataPlacement::Kind::Located) return decode_tensor_payload(payload);
    EXPECT_EQ(placement.head_size, front);
    auto head = decode_tensor_payload_head(payload.first(placement.head_size));
    if (!head) return std::unexpected(head.error());
    return finish_tensor_payload(std::move(*head),
                                 payload.subspan(placement.head_size, placement.data_size),
                                 payload.subspan(placement.head_size + placement.data_size));
}

TEST_P(MessagesTensorPayload, DecodesOrFailsWithItsMessage) {
    const auto& expected = GetParam().expected;
    for (bool segments : {false, true}) {
        SCOPED_TRACE(segments ? "in segments" : "whole");
        Bytes encoded = GetParam().encoded;
        const auto result = segments ? decode_in_segments(encoded) : decode_tensor_payload(encoded);
        if (!expected) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), expected.error());
            continue;
        }
        ASSERT_TRUE(result.has_value()) << result.error();
        EXPECT_EQ(result->shape, expected->shape);
        EXPECT_EQ(result->dtype, expected->dtype);
        EXPECT_EQ(Bytes(result->data.begin(), result->data.end()), expected->data);
    }
}

std::unexpected<std::string> fails(std::string message) {
    return std::unexpected(std::move(message));
}

Tensor tensor(DType dtype, Bytes data) {
    return Tensor{{2, 2}, dtype, std::move(data)};
}

INSTANTIATE_TEST_SUITE_P(
    All, MessagesTensorPayload,
    ::testing::Values(
        PayloadCase{"Raw", encode_tensor_payload(payload("float32", Bytes{1, 2, 3}, {})),
                    tensor(DType::Float32, {1, 2, 3})},
        PayloadCase{"RawEmpty", encode_tensor_payload(payload("uint8", Bytes{}, {})),
                    tensor(DType::Uint8, {})},
        PayloadCase{"Base64", encode_tensor_payload(payload("int32", {}, "AAAAPw==")),
                    tensor(DType::Int32, {0, 0, 0, 0x3F})},
        PayloadCase{"Base64Empty", encode_tensor_payload(payload("utf8", {}, "")),
                    tensor(DType::String, {})},
        PayloadCase{"Base64Unpadded", encode_tensor_payload(payload("int32", {}, "AAAAPw")),
                    fails("Invalid padding")},
        PayloadCase{"Base64LineBreak", encode_tensor_payload(payload("int32", {}, "AAAA\nAAA")),
                    fails("Invalid symbol 10, offset 4.")},
        PayloadCase{"AliasAnyCase", encode_tensor_payload(payload("FLOAT32", Bytes{7}, {})),
                    tensor(DType::Float32, {7})},
        PayloadCase{"UnknownDtype", encode_tensor_payload(payload("bfloat16", Bytes{7}, {})),
                    fails("Invalid input: Unsupported dtype: bfloat16")},
        PayloadCase{"Both", encode_tensor_payload(payload("uint8", Bytes{1}, "AQ==")),
                    fails("binary tensor payload must include only one of `data` or "
                          "`data_base64`")},
        PayloadCase{"Neither", encode_tensor_payload(payload("uint8", {}, {})),
                    fails("binary tensor payload must include `data` or `data_base64`")},
        PayloadCase{"Empty", Bytes{}, fails("io error: unexpected end of file")},
        PayloadCase{"Short", concat({u64_le(0), text("uint8"), {0x01}, u64_le(4), {1, 2}}),
                    fails("io error: unexpected end of file")},
        PayloadCase{"HugeData", concat({u64_le(0), text("uint8"), {0x01}, u64_le(UINT64_MAX)}),
                    fails("io error: unexpected end of file")},
        PayloadCase{"HugeShape", concat({u64_le(uint64_t{1} << 59), u64_le(3)}),
                    fails("io error: unexpected end of file")},
        PayloadCase{"BadTag", concat({u64_le(0), text("uint8"), {0x02}}),
                    fails("tag for enum is not valid, found 2")},
        PayloadCase{"DtypeNotUtf8", concat({u64_le(0), text("uint\xFF"), {0x01}}),
                    fails("string is not valid utf8: invalid utf-8 sequence of 1 bytes from "
                          "index 4")},
        PayloadCase{"NothingAfterData", concat({u64_le(0), text("uint8"), {0x01}, u64_le(1), {7}}),
                    fails("io error: unexpected end of file")},
        PayloadCase{"BadTagAfterData",
                    concat({u64_le(0), text("uint8"), {0x01}, u64_le(1), {7, 0x02}}),
                    fails("tag for enum is not valid, found 2")},
        PayloadCase{"TrailingBytesIgnored",
                    concat({encode_tensor_payload(payload("uint8", Bytes{5, 6}, {})), {9, 9, 9}}),
                    tensor(DType::Uint8, {5, 6})}),
    [](const auto& info) { return info.param.name; });

TEST(Messages, SuccessAnswerOfTheWorkedExample) {
    // Payload of a 57-byte success answer: the request's first four fields.
    Bytes encoded = worked_example_tensor();
    const auto decoded = decode_tensor_payload(encoded);
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(worked_example_tensor().size(), 49u);
    EXPECT_EQ(decoded->shape, (std::vector<int64_t>{2}));
    EXPECT_EQ(decoded->dtype, DType::Float32);
    EXPECT_TRUE(std::ranges::equal(decoded->data, std::span(kOneTwo)));
}

// Raw data is viewed where it lies and base64 data is decoded into the payload's front: either
// way the tensor's bytes are inside the payload, never a copy elsewhere.
TEST(Messages, DecodedDataLiesInThePayload) {
    const Bytes data(4096, 0x5A);
    std::string base64;  // 4096 bytes of 0x5A
    for (int i = 0; i < 1365; ++i) base64 += "Wlpa";
    base64 += "Wg==";
    for (Bytes encoded : {encode_tensor_payload(payload("uint8", data, {})),
                          encode_tensor_payload(payload("uint8", {}, base64))}) {
        const auto decoded = decode_tensor_payload(encoded);
        ASSERT_TRUE(decoded.has_value()) << decoded.error();
        EXPECT_TRUE(std::ranges::equal(decoded->data, data));
        EXPECT_GE(decoded->data.data(), encoded.data());
        EXPECT_LE(decoded->data.data() + decoded->data.size(), encoded.data() + encoded.size());
    }
}

struct Lossy {
    Bytes input;
    std::string expected;
};

class MessagesUtf8Lossy : public ::testing::TestWithParam<Lossy> {};

TEST_P(MessagesUtf8Lossy, ReplacesEachMaximalInvalidPart) {
    EXPECT_EQ(utf8_lossy(GetParam().input), GetParam().expected);
}

// Expected values are what Python's bytes.decode("utf-8", "replace") gives.
INSTANTIATE_TEST_SUITE_P(
    Cases, MessagesUtf8Lossy,
    ::testing::Values(Lossy{{}, ""}, Lossy{bytes_of("model \u00E9"), "model \u00E9"},
                      Lossy{{0x6F, 0x6B, 0xFF}, "ok\uFFFD"}, Lossy{{0xE2, 0x82}, "\uFFFD"},
                      Lossy{{0x61, 0xE2, 0x82, 0x7A}, "a\uFFFDz"},
                      Lossy{{0xED, 0xA0, 0x80}, "\uFFFD\uFFFD\uFFFD"},
                      Lossy{{0xF0, 0x90, 0x80, 0xF0, 0x9F, 0x98, 0x80}, "\uFFFD\U0001F600"},
                      Lossy{{0xC0, 0xAF, 0x41}, "\uFFFD\uFFFDA"}));

}  // namespace
}  // namespace zelto
