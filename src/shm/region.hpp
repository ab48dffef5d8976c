// A shared region created by the server and attached by name.
//
// RegionHeader, at offset 0 (little-endian):
//   0 u32 magic 0x41494D4F     8 u64 request_queue_offset    24 u64 tensor_area_offset
//   4 u32 version 1           16 u64 response_queue_offset   32 u64 tensor_area_size
//
// The request queue (1024 cells of 40 bytes) and the response queue (1024 cells of 48 bytes) lie
// at their offsets, the tensor area at its offset; where they lie is the server's choice.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/shared_memory.hpp"
#include "transport/errors.hpp"
#include "transport/tensor.hpp"

namespace zelto::shm {

inline constexpr uint32_t kRegionMagic = 0x41494D4F;
inline constexpr uint32_t kRegionVersion = 1;
inline constexpr uint64_t kRegionHeaderSize = 40;
inline constexpr uint64_t kTensorBlockHeaderSize = 80;
inline constexpr size_t kMaxDims = 8;
inline constexpr uint64_t kQueueCells = 1024;
inline constexpr uint64_t kRequestEntrySize = 40;
inline constexpr uint64_t kResponseEntrySize = 48;

// The logging target of the attach record.
inline constexpr std::string_view kLogTarget = "zelto_shm::memory";

// The positions of the areas, as the header states them.
struct RegionLayout {
    uint64_t request_queue_offset = 0;
    uint64_t response_queue_offset = 0;
    uint64_t tensor_area_offset = 0;
    uint64_t tensor_area_size = 0;
};

// Reads the four layout fields of the header at `base` (which holds at least 40 bytes).
RegionLayout read_region_layout(const uint8_t* base);

// Writes a complete header (magic, version, layout) at `base`. Used by servers and tests.
void write_region_header(uint8_t* base, const RegionLayout& layout);

// Whether both queues and the tensor area lie inside a region of `size` bytes, with the queues'
// index cells on 8-byte boundaries (they are operated on with 64-bit atomics).
bool layout_fits(const RegionLayout& layout, uint64_t size);

// Receives the attach record: the logging target and the message. The caller decides whether
// its logger is enabled.
using LogFn = std::function<void(std::string_view target, std::string_view message)>;

class ShmRegion {
public:
    // Attaches to the existing region NAME (/dev/shm/NAME on Linux), maps it whole and checks the
    // header: magic, then version, then that the areas lie inside the mapping. On success `log`
    // (if set) receives "Connected to shared memory region '{name}' of size {size} bytes". Every
    // failure is a SharedMemory error.
    static std::expected<std::shared_ptr<ShmRegion>, Error> open(const std::string& name,
                                                                 const LogFn& log = {});
    ShmRegion(const ShmRegion&) = delete;
    ShmRegion& operator=(const ShmRegion&) = delete;

    uint8_t* base() const { return mapping_.base(); }
    uint64_t size() const { return mapping_.size(); }
    const std::string& name() const { return name_; }
    // The region object's permission bits.
    unsigned permissions() const { return mapping_.permissions(); }
    // The mapped object itself: its identity and its byte locks, for coordination among the
    // region's clients. Nothing in the region changes.
    platform::SharedMapping& object() { return mapping_; }

    // The header's layout as validated at attach. The values are kept from then on: a server
    // that rewrites the header later is not followed, so nothing read afterwards can move an
    // area outside the mapping.
    uint64_t request_queue_offset() const { return layout_.request_queue_offset; }
    uint64_t response_queue_offset() const { return layout_.response_queue_offset; }
    uint64_t tensor_area_offset() const { return layout_.tensor_area_offset; }
    uint64_t tensor_area_size() const { return layout_.tensor_area_size; }

private:
    ShmRegion(std::string name, platform::SharedMapping mapping, RegionLayout layout);
    std::string name_;
    platform::SharedMapping mapping_;
    RegionLayout layout_;
};

// "Connected to shared memory region '{name}' of size {size} bytes"
std::string attach_message(std::string_view name, uint64_t size);

// Element codes of a TensorBlock: only four are written (float64 1, int32 2, int64 3, else 0).
uint8_t dtype_code(DType dtype);

// TensorBlock: 0 u32 ndim, 4 u8 dtype_code, 5 3 bytes 0, 8 8 x u64 dims (zero-padded),
// 72 u64 nbytes, 80 data. The caller guarantees shape.size() <= 8 and that the block fits.
void write_tensor_block(uint8_t* block, std::span<const int64_t> shape, DType dtype,
                        std::span<const uint8_t> data);

// A TensorBlock as found in a region, checked to lie inside it. `data` points into the region.
struct TensorBlockView {
    std::vector<int64_t> shape;
    uint8_t dtype_code = 0;
    std::span<const uint8_t> data;
};

// Parses the block at `offset` of `region`, refusing one whose header or data reach past the
// region's end or whose ndim exceeds 8. Used by servers, which must not trust clients.
std::expected<TensorBlockView, std::string> view_tensor_block(std::span<const uint8_t> region,
                                                              uint64_t offset);

// The data of the block at `offset`, viewed where it lies in the region, refusing a block that
// does not lie inside it: "Output tensor block at offset X does not fit in the shared memory
// region of N bytes". The bytes are the server's: the caller copies them out (into the result
// list) before it sends another request that could let the server reuse the block.
std::expected<std::span<const uint8_t>, std::string> output_block_data(const ShmRegion& region,
                                                                       uint64_t offset);
std::expected<std::span<const uint8_t>, std::string> output_block_data(
    std::span<const uint8_t> region, uint64_t offset);

// Reads an error text block (u64 length + UTF-8) lossily, or refuses one that does not fit:
// "Error text block at offset X does not fit in the shared memory region of N bytes".
std::expected<std::string, std::string> read_error_text(const ShmRegion& region, uint64_t offset);
std::expected<std::string, std::string> read_error_text(std::span<const uint8_t> region,
                                                        uint64_t offset);

}  // namespace zelto::shm
