#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hybrid/control_messages.hpp"
#include "platform/clock.hpp"

namespace zelto::hybrid {
namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
    return std::vector<uint8_t>(values.begin(), values.end());
}

TEST(HybridRequestFrame, EncodesHeaderMetadataAndBlockPosition) {
    uint64_t before = platform::wall_clock_ns();
    HybridRequest request{RequestMetadata::build(1, 0, 0, 0), 0x100000, 80 + 16};
    uint64_t after = platform::wall_clock_ns();
    auto frame = encode_request_frame(request);

    ASSERT_EQ(frame.size(), 52u);
    auto expected_prefix = bytes({0, 0, 0, 0, 4, 0, 0, 0, 0x28, 0, 0, 0,  // frame header
                                  1, 0, 0, 0, 0, 0, 0, 0,                 // request_id
                                  0, 0, 0, 0, 0, 0, 0, 0});  // param_code, a, b, reserved
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 28), expected_prefix);
    uint64_t stamp;
    std::memcpy(&stamp, frame.data() + 28, 8);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 36, frame.end()),
              bytes({0, 0, 0x10, 0, 0, 0, 0, 0, 0x60, 0, 0, 0, 0, 0, 0, 0}));

    HybridRequest decoded = HybridRequest::decode(frame.data() + 12);
    EXPECT_EQ(decoded.metadata.request_id, 1u);
    EXPECT_EQ(decoded.metadata.timestamp_ns, stamp);
    EXPECT_EQ(decoded.shm_offset, 0x100000u);
    EXPECT_EQ(decoded.shm_size, 96u);
}

TEST(HybridRequestFrame, ParametersLandAtTheirOffsets) {
    RequestMetadata metadata = RequestMetadata::build(0x0102030405060708, 0xA1B2C3D4, 7, 9);
    auto body = HybridRequest{metadata, 0, 0}.encode();
    EXPECT_EQ(std::vector<uint8_t>(body.begin(), body.begin() + 16),
              bytes({8, 7, 6, 5, 4, 3, 2, 1, 0xD4, 0xC3, 0xB2, 0xA1, 7, 9, 0, 0}));
}

// A success payload: 24 metadata bytes of any value, the output offset, 8 bytes of any value,
// then `extra` trailing bytes.
std::vector<uint8_t> success_payload(size_t extra) {
    std::vector<uint8_t> payload(24, 0xEE);
    auto offset = bytes({0, 0, 0x20, 0, 0, 0, 0, 0});
    payload.insert(payload.end(), offset.begin(), offset.end());
    payload.insert(payload.end(), 8, 0x77);
    payload.insert(payload.end(), extra, 0x55);
    return payload;
}

TEST(HybridResponseDecode, ReadsTheFirstFortyBytesAndIgnoresTheRest) {
    for (size_t extra : {0u, 8u}) {
        auto decoded = HybridResponse::decode(success_payload(extra));
        ASSERT_TRUE(decoded.has_value()) << extra;
        EXPECT_EQ(decoded->shm_offset, 0x200000u);
        EXPECT_EQ(decoded->metadata.request_id, 0xEEEEEEEEEEEEEEEEu);
        EXPECT_EQ(decoded->metadata.status, 0xEE);
    }
}

TEST(HybridResponseDecode, ShortPayloadsFailWithEndOfInput) {
    auto full = success_payload(0);
    for (size_t size : {0u, 1u, 24u, 39u}) {
        auto decoded = HybridResponse::decode(std::span(full).first(size));
        ASSERT_FALSE(decoded.has_value()) << size;
        EXPECT_EQ(decoded.error(), "io error: unexpected end of file");
    }
}

TEST(HybridResponseDecode, RoundTripsThroughEncode) {
    HybridResponse response;
    response.metadata = {42, 3, {1, 2, 3, 4, 5, 6, 7}, 99};
    response.shm_offset = 0x1234;
    response.shm_size = 80;
    auto encoded = response.encode();
    auto decoded = HybridResponse::decode(encoded);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->encode(), encoded);
}

TEST(HybridFailureText, InvalidSequencesBecomeReplacementCharacters) {
    EXPECT_EQ(failure_text(bytes({0x6F, 0x6B, 0xFF})), "ok\xEF\xBF\xBD");
    EXPECT_EQ(failure_text({}), "");
    EXPECT_EQ(failure_text(bytes({0xC3, 0xA9})), "\xC3\xA9");
}

}  // namespace
}  // namespace zelto::hybrid
