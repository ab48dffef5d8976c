#include "transport/wire.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "byte_helpers.hpp"

namespace zelto::wire {
namespace {

using test_bytes::Bytes;
using test_bytes::bytes_of;
using test_bytes::concat;
using test_bytes::u64_le;

TEST(WireEncoder, ValuesHaveTheirFixedLayout) {
    const Bytes text = encode([](auto& e) { e.text("float32"); });
    EXPECT_EQ(text, concat({u64_le(7), bytes_of("float32")}));

    EXPECT_EQ(encode([](auto& e) { e.i64_sequence({}); }), Bytes(8, 0));
    EXPECT_EQ(encode([](auto& e) { e.absent(); }), Bytes{0x00});
    EXPECT_EQ(encode([](auto& e) {
                  e.present();
                  e.u32(5);
              }),
              (Bytes{0x01, 0x05, 0x00, 0x00, 0x00}));
    EXPECT_EQ(encode([](auto& e) { e.i64(-1); }), Bytes(8, 0xFF));
    EXPECT_EQ(encode([](auto& e) { e.f32(1.0f); }), (Bytes{0x00, 0x00, 0x80, 0x3F}));
    EXPECT_EQ(encode([](auto& e) { e.u64(0x0102030405060708); }),
              (Bytes{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
}

TEST(WireEncoder, CountsExactlyWhatItWritesInOneAllocation) {
    const int64_t shape[] = {2, -3};
    const uint8_t data[] = {1, 2, 3};
    auto write = [&](auto& e) {
        e.i64_sequence(shape);
        e.text("caf\u00E9");
        e.byte_string(data);
        e.boolean(true);
        e.fixed(data);
    };
    const Bytes out = encode(write);
    EXPECT_EQ(encoded_size_of(write), 8 + 16 + 8 + 5 + 8 + 3 + 1 + 3);
    EXPECT_EQ(out.size(), encoded_size_of(write));
    EXPECT_EQ(out.capacity(), out.size());
}

// A decoding step applied to an input, and the error it must give.
struct DecodeFailure {
    std::string name;
    Bytes input;
    std::function<std::string(Decoder&)> step;
    std::string message;
};

template <class T>
std::string error_of(const Decoder::Result<T>& r) {
    return r ? std::string("<no error>") : r.error();
}

std::string read_u32(Decoder& d) {
    return error_of(d.u32());
}
std::string read_u64(Decoder& d) {
    return error_of(d.u64());
}
std::string read_tag(Decoder& d) {
    return error_of(d.tag());
}
std::string read_text(Decoder& d) {
    return error_of(d.text());
}
std::string read_bytes(Decoder& d) {
    return error_of(d.byte_string());
}
std::string read_shape(Decoder& d) {
    return error_of(d.i64_sequence());
}

constexpr const char* kEof = "io error: unexpected end of file";

Bytes text_with(std::string_view raw) {
    return concat({u64_le(raw.size()), bytes_of(raw)});
}

std::string utf8_error(std::string_view detail) {
    return "string is not valid utf8: " + std::string(detail);
}

class WireDecoderErrors : public ::testing::TestWithParam<DecodeFailure> {};

TEST_P(WireDecoderErrors, HaveTheirExactText) {
    Decoder d(GetParam().input);
    EXPECT_EQ(GetParam().step(d), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    All, WireDecoderErrors,
    ::testing::Values(
        DecodeFailure{"U32Short", {1, 2, 3}, read_u32, kEof},
        DecodeFailure{"CountShort", Bytes(7, 0), read_u64, kEof},
        DecodeFailure{"TagMissing", {}, read_tag, kEof},
        DecodeFailure{"Tag2", {2}, read_tag, "tag for enum is not valid, found 2"},
        DecodeFailure{"Tag255", {255}, read_tag, "tag for enum is not valid, found 255"},
        DecodeFailure{"TextCountShort", {7, 0, 0}, read_text, kEof},
        DecodeFailure{"TextLongerThanInput", concat({u64_le(10), bytes_of("abc")}), read_text,
                      "io error: "},
        DecodeFailure{"TextHugeCount", u64_le(UINT64_MAX), read_text, "io error: "},
        DecodeFailure{"BytesLongerThanInput", concat({u64_le(5), Bytes{1, 2, 3}}), read_bytes,
                      kEof},
        DecodeFailure{"BytesHugeCount", u64_le(UINT64_MAX), read_bytes, kEof},
        DecodeFailure{"ShapeElementCut", concat({u64_le(2), u64_le(1), Bytes{1, 2}}), read_shape,
                      kEof},
        DecodeFailure{"ShapeHugeCount", concat({u64_le(uint64_t{1} << 59), u64_le(1)}), read_shape,
                      kEof},
        DecodeFailure{"Utf8BadByte", text_with("ab\xFF"), read_text,
                      utf8_error("invalid utf-8 sequence of 1 bytes from index 2")},
        DecodeFailure{"Utf8LoneContinuation", text_with("\x80"), read_text,
                      utf8_error("invalid utf-8 sequence of 1 bytes from index 0")},
        DecodeFailure{"Utf8Overlong", text_with("x\xC0\x80"), read_text,
                      utf8_error("invalid utf-8 sequence of 1 bytes from index 1")},
        DecodeFailure{"Utf8Surrogate", text_with("\xED\xA0\x80"), read_text,
                      utf8_error("invalid utf-8 sequence of 1 bytes from index 0")},
        DecodeFailure{"Utf8AboveMax", text_with("\xF4\x90\x80\x80"), read_text,
                      utf8_error("invalid utf-8 sequence of 1 bytes from index 0")},
        DecodeFailure{"Utf8CutBySymbol", text_with("a\xE2\x82z"), read_text,
                      utf8_error("invalid utf-8 sequence of 2 bytes from index 1")},
        DecodeFailure{"Utf8FourCutAtThree", text_with("\xF0\x90\x80\x41"), read_text,
                      utf8_error("invalid utf-8 sequence of 3 bytes from index 0")},
        DecodeFailure{"Utf8IncompleteAtEnd", text_with("\xC3\xA9\xE2\x82"), read_text,
                      utf8_error("incomplete utf-8 byte sequence from index 2")},
        DecodeFailure{"Utf8IncompleteFour", text_with("\xF0\x90\x80"), read_text,
                      utf8_error("incomplete utf-8 byte sequence from index 0")}),
    [](const auto& info) { return info.param.name; });

TEST(WireDecoder, ReadsValuesInOrderAndLeavesTheRest) {
    const Bytes input = concat({u64_le(2), u64_le(5), Bytes(8, 0xFF), text_with("h\u00E9"),
                                Bytes{1}, u64_le(2), Bytes{9, 8}, Bytes{0}, Bytes{0xAA, 0xBB}});
    Decoder d(input);
    EXPECT_EQ(d.i64_sequence().value(), (std::vector<int64_t>{5, -1}));
    EXPECT_EQ(d.text().value(), "h\u00E9");
    EXPECT_TRUE(d.tag().value());
    const auto data = d.byte_string().value();
    EXPECT_EQ(Bytes(data.begin(), data.end()), (Bytes{9, 8}));
    EXPECT_FALSE(d.tag().value());
    EXPECT_EQ(d.remaining(), 2u);
}

TEST(WireDecoder, ByteStringAtTheEndConsumesWhatIsThere) {
    const Bytes input = concat({u64_le(100), Bytes(10, 7)});
    Decoder d(input);
    EXPECT_EQ(d.byte_string().error(), kEof);
    EXPECT_EQ(d.remaining(), 0u);
}

}  // namespace
}  // namespace zelto::wire
