#include "shm/region.hpp"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstring>
#include <limits>
#include <vector>

#include "shm/little_endian.hpp"
#include "shm_test_region.hpp"

namespace zelto::shm {
namespace {

using testing::TestRegion;
using testing::unique_region_name;

std::string open_error(const std::string& name) {
    auto region = ShmRegion::open(name);
    EXPECT_FALSE(region.has_value());
    return region ? std::string() : region.error().message;
}

TEST(ShmRegionOpen, MissingRegionReportsErrorNumberTwo) {
    EXPECT_EQ(open_error(unique_region_name("missing")),
              "Shared memory error: Opening the shared memory failed, os error 2");
}

#ifndef _WIN32  // the empty object is made with shm_open
TEST(ShmRegionOpen, EmptyObjectCannotBeMapped) {
    std::string name = unique_region_name("empty");
    int fd = shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(open_error(name),
              "Shared memory error: Opening the shared memory failed, os error 22");
    platform::SharedMapping::unlink(name);
}
#endif

TEST(ShmRegionOpen, AttachesWithLeadingSlashesLogsAndKeepsTheLayout) {
    TestRegion test("open");
    std::vector<std::pair<std::string, std::string>> records;
    auto region =
        ShmRegion::open("//" + test.name(), [&](std::string_view target, std::string_view message) {
            records.emplace_back(target, message);
        });
    ASSERT_TRUE(region.has_value()) << region.error().message;
    EXPECT_EQ((*region)->size(), test.size());
    EXPECT_EQ((*region)->request_queue_offset(), TestRegion::kRequestQueue);
    EXPECT_EQ((*region)->response_queue_offset(), TestRegion::kResponseQueue);
    EXPECT_EQ((*region)->tensor_area_offset(), TestRegion::kTensorArea);
    EXPECT_EQ((*region)->tensor_area_size(), uint64_t{2 << 20});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].first, "zelto_shm::memory");
    EXPECT_EQ(records[0].second, "Connected to shared memory region '//" + test.name() +
                                     "' of size " + std::to_string(test.size()) + " bytes");
}

TEST(ShmRegionOpen, SizeIsTheObjectSizeRoundedUpToWholePages) {
    std::string name = unique_region_name("pages");
    {
        // 100000 bytes map as 25 pages; the tensor area may use the tail of the last page.
        auto mapping = platform::SharedMapping::create(name, 100000, false).value();
        write_region_header(mapping.base(), {64, 41024, 90176, 102400 - 90176});
    }
    auto region = ShmRegion::open(name);
    platform::SharedMapping::unlink(name);
    ASSERT_TRUE(region.has_value()) << region.error().message;
    EXPECT_EQ((*region)->size(), 102400u);
}

struct HeaderCase {
    const char* label;
    uint32_t magic;
    uint32_t version;
    RegionLayout layout;
    const char* expected;  // nullptr: attaches
};

class ShmRegionHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ShmRegionHeader, IsCheckedMagicFirstThenVersionThenLayout) {
    const HeaderCase& c = GetParam();
    TestRegion test("header");
    write_region_header(test.base(), c.layout);
    store_le<uint32_t>(test.base(), c.magic);
    store_le<uint32_t>(test.base() + 4, c.version);
    auto region = ShmRegion::open(test.name());
    if (c.expected == nullptr) {
        EXPECT_TRUE(region.has_value()) << region.error().message;
        return;
    }
    ASSERT_FALSE(region.has_value());
    std::string expected = c.expected;
    if (auto pos = expected.find("{size}"); pos != std::string::npos) {
        expected.replace(pos, 6, std::to_string(test.size()));
    }
    EXPECT_EQ(region.error().message, expected);
}

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kRegionBytes = TestRegion::kTensorArea + (2 << 20) + (1 << 20);
constexpr RegionLayout kGood{TestRegion::kRequestQueue, TestRegion::kResponseQueue,
                             TestRegion::kTensorArea, 2 << 20};
constexpr const char* kNoFit = "Shared memory error: region layout does not fit in {size} bytes";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, ShmRegionHeader,
    ::testing::Values(
        HeaderCase{"good", kRegionMagic, 1, kGood, nullptr},
        HeaderCase{"bad_magic_and_version", 0x414D494F, 2, kGood,
                   "Invalid magic number in shared memory"},
        HeaderCase{"bad_magic_and_layout", 0, 1, {kMax, kMax, kMax, kMax},
                   "Invalid magic number in shared memory"},
        HeaderCase{"version_2", kRegionMagic, 2, kGood, "Shared memory version mismatch"},
        HeaderCase{"version_0_bad_layout", kRegionMagic, 0, {kMax, 0, 0, 0},
                   "Shared memory version mismatch"},
        HeaderCase{"whole_area_exactly", kRegionMagic, 1, {0, 0, 0, kRegionBytes}, nullptr},
        HeaderCase{"tensor_area_one_byte_over", kRegionMagic, 1, {64, 64, 1, kRegionBytes}, kNoFit},
        HeaderCase{"tensor_area_wraps", kRegionMagic, 1, {64, 64, 4096, kMax - 100}, kNoFit},
        HeaderCase{"request_queue_past_end", kRegionMagic, 1,
                   {kRegionBytes - 40960 + 8, 64, 0, 0}, kNoFit},
        HeaderCase{"request_queue_wraps", kRegionMagic, 1, {kMax - 7, 64, 0, 0}, kNoFit},
        HeaderCase{"response_queue_past_end", kRegionMagic, 1,
                   {64, kRegionBytes - 49152 + 8, 0, 0}, kNoFit},
        HeaderCase{"response_queue_misaligned", kRegionMagic, 1, {64, 65, 0, 0}, kNoFit},
        HeaderCase{"request_queue_misaligned", kRegionMagic, 1, {68, 64, 0, 0}, kNoFit}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

TEST(TensorBlock, WritesZeroPaddedDimsAndTheFourCodes) {
    std::vector<uint8_t> block(80 + 3, 0xEE);
    const int64_t shape[] = {2, -1, 7};
    const uint8_t data[] = {9, 8, 7};
    write_tensor_block(block.data(), shape, DType::Int64, data);
    std::vector<uint8_t> expected(83, 0);
    expected[0] = 3;
    expected[4] = 3;
    expected[8] = 2;
    std::memset(&expected[16], 0xFF, 8);  // -1 as its 64-bit pattern
    expected[24] = 7;
    expected[72] = 3;
    expected[80] = 9, expected[81] = 8, expected[82] = 7;
    EXPECT_EQ(block, expected);

    std::vector<uint8_t> scalar(80, 0xEE);
    write_tensor_block(scalar.data(), {}, DType::Uint8, {});
    EXPECT_EQ(scalar, std::vector<uint8_t>(80, 0));

    EXPECT_EQ(dtype_code(DType::Float32), 0);
    EXPECT_EQ(dtype_code(DType::Float64), 1);
    EXPECT_EQ(dtype_code(DType::Int32), 2);
    EXPECT_EQ(dtype_code(DType::Int64), 3);
    EXPECT_EQ(dtype_code(DType::Float16), 0);
    EXPECT_EQ(dtype_code(DType::Uint8), 0);
    EXPECT_EQ(dtype_code(DType::String), 0);
}

struct BlockCase {
    const char* label;
    uint64_t offset;
    uint64_t length;  // nbytes of an output block, or the length of an error text
    bool output_fits;
    bool text_fits;
};

class HostileBlocks : public ::testing::TestWithParam<BlockCase> {};

// A 1000-byte "region": a block must lie inside it, whatever its offset and length say.
TEST_P(HostileBlocks, AreRefusedUnlessTheyLieInsideTheRegion) {
    const BlockCase& c = GetParam();
    const std::string where = " at offset " + std::to_string(c.offset) +
                              " does not fit in the shared memory region of 1000 bytes";
    std::vector<uint8_t> outputs(1000, 'a'), texts(1000, 'a');
    if (c.offset <= 1000 - 80) store_le<uint64_t>(&outputs[c.offset + 72], c.length);
    if (c.offset <= 1000 - 8) store_le<uint64_t>(&texts[c.offset], c.length);

    auto output = output_block_data(outputs, c.offset);
    if (c.output_fits) {
        ASSERT_TRUE(output.has_value()) << output.error();
        EXPECT_EQ(output->size(), c.length);
    } else {
        EXPECT_EQ(output.error(), "Output tensor block" + where);
    }
    auto text = read_error_text(texts, c.offset);
    if (c.text_fits) {
        ASSERT_TRUE(text.has_value()) << text.error();
        EXPECT_EQ(text->size(), c.length);
    } else {
        EXPECT_EQ(text.error(), "Error text block" + where);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, HostileBlocks,
    ::testing::Values(BlockCase{"empty", 0, 0, true, true},
                      BlockCase{"output_exact_fit", 100, 820, true, true},
                      BlockCase{"text_exact_fit", 100, 892, false, true},
                      BlockCase{"one_byte_over", 100, 893, false, false},
                      BlockCase{"length_wraps", 100, kMax - 50, false, false},
                      BlockCase{"output_header_straddles_end", 950, 0, false, true},
                      BlockCase{"offset_at_end", 1000, 0, false, false},
                      BlockCase{"offset_far_out", kMax - 10, 0, false, false}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

TEST(ErrorTextBlock, InvalidUtf8BecomesReplacementCharacter) {
    std::vector<uint8_t> region(64, 0);
    const uint8_t text[] = {'b', 'a', 'd', 0xFF, '!'};
    store_le<uint64_t>(&region[16], sizeof text);
    std::memcpy(&region[24], text, sizeof text);
    EXPECT_EQ(read_error_text(region, 16).value(), "bad\xEF\xBF\xBD!");
}

TEST(TensorBlockView, ServerSideParseRefusesMoreThanEightDims) {
    std::vector<uint8_t> region(200, 0);
    const int64_t shape[] = {1, 2};
    const uint8_t data[] = {5, 6};
    write_tensor_block(&region[8], shape, DType::Float64, data);
    auto view = view_tensor_block(region, 8);
    ASSERT_TRUE(view.has_value()) << view.error();
    EXPECT_EQ(view->shape, (std::vector<int64_t>{1, 2}));
    EXPECT_EQ(view->dtype_code, 1);
    EXPECT_EQ(std::vector<uint8_t>(view->data.begin(), view->data.end()),
              (std::vector<uint8_t>{5, 6}));
    store_le<uint32_t>(&region[8], 9);
    EXPECT_FALSE(view_tensor_block(region, 8).has_value());
}

}  // namespace
}  // namespace zelto::shm
