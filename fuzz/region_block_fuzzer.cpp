// Blocks read from a shared region at an offset a server announced (an output TensorBlock, an
// error text block), on arbitrary region contents and offsets.
//
// Input: a u64 offset (little-endian), then the region's bytes. The region is copied into a
// buffer of exactly its size, so AddressSanitizer reports any read past its end. Whatever a
// reader accepts must lie wholly inside the region by plain 128-bit arithmetic, and its data
// must be (or view) the bytes found there; whatever it refuses must be refused with the fixed
// message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "fuzz_check.hpp"
#include "shm/little_endian.hpp"
#include "shm/region.hpp"
#include "transport/messages.hpp"

namespace {

using u128 = unsigned __int128;

bool inside(u128 offset, u128 length, size_t size) {
    return offset + length <= size;
}

std::string does_not_fit(const char* what, uint64_t offset, size_t size) {
    return std::string(what) + " at offset " + std::to_string(offset) +
           " does not fit in the shared memory region of " + std::to_string(size) + " bytes";
}

void check_output_block(std::span<const uint8_t> region, uint64_t offset) {
    const size_t size = region.size();
    auto data = zelto::shm::output_block_data(region, offset);
    const bool header_inside = inside(offset, zelto::shm::kTensorBlockHeaderSize, size);
    const uint64_t nbytes =
        header_inside ? zelto::shm::load_le<uint64_t>(region.data() + offset + 72) : 0;
    if (!header_inside || !inside(u128{offset} + 80, nbytes, size)) {
        FUZZ_CHECK(!data && data.error() == does_not_fit("Output tensor block", offset, size));
        return;
    }
    FUZZ_CHECK(data.has_value());
    FUZZ_CHECK(data->data() == region.data() + offset + 80 && data->size() == nbytes);

    auto view = zelto::shm::view_tensor_block(region, offset);
    const uint32_t ndim = zelto::shm::load_le<uint32_t>(region.data() + offset);
    FUZZ_CHECK(view.has_value() == (ndim <= zelto::shm::kMaxDims));
    if (view) {
        FUZZ_CHECK(view->shape.size() == ndim);
        FUZZ_CHECK(std::ranges::equal(view->data, *data));
    }
}

void check_error_text(std::span<const uint8_t> region, uint64_t offset) {
    const size_t size = region.size();
    auto text = zelto::shm::read_error_text(region, offset);
    const bool length_inside = inside(offset, 8, size);
    const uint64_t length =
        length_inside ? zelto::shm::load_le<uint64_t>(region.data() + offset) : 0;
    if (!length_inside || !inside(u128{offset} + 8, length, size)) {
        FUZZ_CHECK(!text && text.error() == does_not_fit("Error text block", offset, size));
        return;
    }
    FUZZ_CHECK(text.has_value());
    FUZZ_CHECK(*text == zelto::utf8_lossy(region.subspan(offset + 8, length)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const uint64_t offset = zelto::shm::load_le<uint64_t>(data);
    const size_t region_size = size - 8;
    auto copy = std::make_unique<uint8_t[]>(region_size);
    std::copy(data + 8, data + size, copy.get());
    const std::span<const uint8_t> region(copy.get(), region_size);

    check_output_block(region, offset);
    check_error_text(region, offset);
    return 0;
}
