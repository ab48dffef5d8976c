// A shared region created by the server and attached by name.
//
// RegionHeader, at offset 0 (little-endian):
//   0 u32 magic 0x41494D4F     8 u64 request_queue_offset    24 u64 tensor_area_offset
//   4 u32 version 1           16 u64 response_queue_offset   32 u64 tensor_area_size
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "transport/tensor.hpp"

namespace zelto::shm {

inline constexpr uint32_t kRegionMagic = 0x41494D4F;
inline constexpr uint32_t kRegionVersion = 1;
inline constexpr uint64_t kRegionHeaderSize = 40;
inline constexpr uint64_t kTensorBlockHeaderSize = 80;
inline constexpr size_t kMaxDims = 8;

struct ShmError {
    enum class Kind { Platform, BadMagic, VersionMismatch, QueueFull, LayoutDoesNotFit };
    Kind kind = Kind::Platform;
    std::string detail;  // the mapping layer's message, or the region size for LayoutDoesNotFit
    std::string display() const;
};

class ShmRegion {
public:
    // Attaches to the existing region NAME (/dev/shm/NAME), maps it whole and checks the header.
    static std::expected<std::shared_ptr<ShmRegion>, ShmError> open(const std::string& name);
    ~ShmRegion();
    ShmRegion(const ShmRegion&) = delete;
    ShmRegion& operator=(const ShmRegion&) = delete;

    uint8_t* base() const { return base_; }
    uint64_t size() const { return size_; }
    const std::string& name() const { return name_; }

    uint64_t request_queue_offset() const;
    uint64_t response_queue_offset() const;
    uint64_t tensor_area_offset() const;
    uint64_t tensor_area_size() const;

private:
    ShmRegion(std::string name, uint8_t* base, uint64_t size, int fd);
    std::string name_;
    uint8_t* base_;
    uint64_t size_;
    int fd_;
};

// Element codes of a TensorBlock: only four are written.
uint8_t dtype_code(DType dtype);

// TensorBlock: 0 u32 ndim, 4 u8 dtype_code, 5 3 bytes 0, 8 8 x u64 dims (zero-padded),
// 72 u64 nbytes, 80 data. The caller guarantees shape.size() <= 8 and that the block fits.
void write_tensor_block(uint8_t* block, std::span<const int64_t> shape, DType dtype,
                        std::span<const uint8_t> data);

// Copies the data of the block at `offset`, refusing a block that does not lie inside the
// region: "Output tensor block at offset X does not fit in the shared memory region of N bytes".
std::expected<std::vector<uint8_t>, std::string> read_output_block(const ShmRegion& region,
                                                                   uint64_t offset);

// Reads an error text block (u64 length + UTF-8) lossily, or refuses one that does not fit.
std::expected<std::string, std::string> read_error_text(const ShmRegion& region, uint64_t offset);

}  // namespace zelto::shm
