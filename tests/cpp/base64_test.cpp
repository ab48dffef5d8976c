#include "transport/base64.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace zelto::base64 {
namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
    std::string text;
    Bytes bytes;
};

class Base64Valid : public ::testing::TestWithParam<Decoded> {};

TEST_P(Base64Valid, DecodesToItsBytes) {
    const auto decoded = decode(GetParam().text);
    ASSERT_TRUE(decoded.has_value()) << decoded.error();
    EXPECT_EQ(*decoded, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Canonical, Base64Valid,
                         ::testing::Values(Decoded{"", {}}, Decoded{"AAAAPw==", {0, 0, 0, 0x3F}},
                                           Decoded{"Pw==", {0x3F}}, Decoded{"AAA=", {0, 0}},
                                           Decoded{"+/+/", {0xFB, 0xFF, 0xBF}},
                                           Decoded{"AAAAAAAA", {0, 0, 0, 0, 0, 0}}));

struct Rejected {
    std::string text;
    std::string message;
};

class Base64Invalid : public ::testing::TestWithParam<Rejected> {};

TEST_P(Base64Invalid, FailsWithItsMessage) {
    const auto decoded = decode(GetParam().text);
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Strict, Base64Invalid,
    ::testing::Values(
        Rejected{"AAAAPw", "Invalid padding"}, Rejected{"AAAAPw=", "Invalid padding"},
        Rejected{"AAA", "Invalid padding"}, Rejected{"AAAA\nAAA", "Invalid symbol 10, offset 4."},
        Rejected{"AAAA\n", "Invalid symbol 10, offset 4."},
        // With one symbol too many, a bad last byte is reported before an earlier one.
        Rejected{"A\nAA\n", "Invalid symbol 10, offset 4."},
        Rejected{"AAAAA", "Invalid input length: 5"}, Rejected{"A", "Invalid input length: 1"},
        Rejected{"AAAA=", "Invalid symbol 61, offset 4."},
        Rejected{"AA=A", "Invalid symbol 61, offset 2."},
        Rejected{"A=AA", "Invalid symbol 61, offset 1."},
        Rejected{"AA==AAAA", "Invalid symbol 61, offset 2."},
        Rejected{"AAAA====", "Invalid symbol 61, offset 4."},
        Rejected{"AAAAA===", "Invalid symbol 61, offset 5."},
        Rejected{"====", "Invalid symbol 61, offset 0."},
        Rejected{"-_==", "Invalid symbol 45, offset 0."},
        Rejected{"AA_A", "Invalid symbol 95, offset 2."},
        Rejected{"AA A", "Invalid symbol 32, offset 2."},
        Rejected{"\xC3\xA9==", "Invalid symbol 195, offset 0."},
        Rejected{"Px==", "Invalid last symbol 120, offset 1."},
        Rejected{"AAB=", "Invalid last symbol 66, offset 2."},
        Rejected{"AAAAAAB=", "Invalid last symbol 66, offset 6."}));

TEST(Base64, RoundTripsEveryLengthAndDecodesInPlace) {
    Bytes data;
    for (size_t n = 0; n < 64; ++n) {
        const std::string text = encode(data.data(), data.size());
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(decode(text).value(), data) << text;

        // The output may overwrite the text it is decoded from.
        std::vector<uint8_t> buffer(text.begin(), text.end());
        buffer.resize(std::max(buffer.size(), max_decoded_size(text.size())));
        const std::string_view view(reinterpret_cast<const char*>(buffer.data()), text.size());
        const auto written = decode_into(view, buffer.data());
        ASSERT_TRUE(written.has_value());
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + *written), data);

        data.push_back(static_cast<uint8_t>(n * 37 + 11));
    }
}

}  // namespace
}  // namespace zelto::base64
