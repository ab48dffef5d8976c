#include "shm/region.hpp"

#include <cstring>

#include "shm/little_endian.hpp"
#include "transport/messages.hpp"

namespace zelto::shm {

namespace {

// Whether [offset, offset + length) lies inside [0, size), without overflowing.
bool span_fits(uint64_t offset, uint64_t length, uint64_t size) {
    return offset <= size && length <= size - offset;
}

std::string does_not_fit(std::string_view what, uint64_t offset, uint64_t size) {
    return std::string(what) + " at offset " + std::to_string(offset) +
           " does not fit in the shared memory region of " + std::to_string(size) + " bytes";
}

std::unexpected<Error> attach_failure(std::string message) {
    return std::unexpected(Error{ErrorKind::SharedMemory, std::move(message)});
}

}  // namespace

RegionLayout read_region_layout(const uint8_t* base) {
    return RegionLayout{load_le<uint64_t>(base + 8), load_le<uint64_t>(base + 16),
                        load_le<uint64_t>(base + 24), load_le<uint64_t>(base + 32)};
}

void write_region_header(uint8_t* base, const RegionLayout& layout) {
    store_le<uint32_t>(base, kRegionMagic);
    store_le<uint32_t>(base + 4, kRegionVersion);
    store_le<uint64_t>(base + 8, layout.request_queue_offset);
    store_le<uint64_t>(base + 16, layout.response_queue_offset);
    store_le<uint64_t>(base + 24, layout.tensor_area_offset);
    store_le<uint64_t>(base + 32, layout.tensor_area_size);
}

bool layout_fits(const RegionLayout& layout, uint64_t size) {
    // The index cells are the first 8 bytes of cells 0..2; entry sizes are multiples of 8, so
    // an 8-aligned queue offset keeps every cell aligned for 64-bit atomics.
    return size >= kRegionHeaderSize && layout.request_queue_offset % 8 == 0 &&
           layout.response_queue_offset % 8 == 0 &&
           span_fits(layout.request_queue_offset, kQueueCells * kRequestEntrySize, size) &&
           span_fits(layout.response_queue_offset, kQueueCells * kResponseEntrySize, size) &&
           span_fits(layout.tensor_area_offset, layout.tensor_area_size, size);
}

std::string attach_message(std::string_view name, uint64_t size) {
    return "Connected to shared memory region '" + std::string(name) + "' of size " +
           std::to_string(size) + " bytes";
}

ShmRegion::ShmRegion(std::string name, platform::SharedMapping mapping, RegionLayout layout)
    : name_(std::move(name)), mapping_(std::move(mapping)), layout_(layout) {}

std::expected<std::shared_ptr<ShmRegion>, Error> ShmRegion::open(const std::string& name,
                                                                 const LogFn& log) {
    // The system's names end at a NUL: "name\0junk" would quietly attach to "name".
    if (name.find('\0') != std::string::npos) {
        return attach_failure("Shared memory error: data provided contains a nul byte");
    }
    std::string own_name = name;
    auto mapping = platform::SharedMapping::open(own_name);
    if (!mapping) return attach_failure("Shared memory error: " + mapping.error().message());

    // Every path that returns below drops `mapping`, which unmaps and closes it.
    const uint8_t* base = mapping->base();
    uint64_t size = mapping->size();  // whole pages, so at least the 8 bytes read next
    if (load_le<uint32_t>(base) != kRegionMagic) {
        return attach_failure("Invalid magic number in shared memory");
    }
    if (load_le<uint32_t>(base + 4) != kRegionVersion) {
        return attach_failure("Shared memory version mismatch");
    }
    RegionLayout layout = size >= kRegionHeaderSize ? read_region_layout(base) : RegionLayout{};
    if (!layout_fits(layout, size)) {
        return attach_failure("Shared memory error: region layout does not fit in " +
                              std::to_string(size) + " bytes");
    }
    if (log) log(kLogTarget, attach_message(own_name, size));
    return std::shared_ptr<ShmRegion>(
        new ShmRegion(std::move(own_name), std::move(*mapping), layout));
}

uint8_t dtype_code(DType dtype) {
    switch (dtype) {
        case DType::Float64:
            return 1;
        case DType::Int32:
            return 2;
        case DType::Int64:
            return 3;
        default:
            return 0;  // float32, and float16, uint8 and string share its code
    }
}

void write_tensor_block(uint8_t* block, std::span<const int64_t> shape, DType dtype,
                        std::span<const uint8_t> data) {
    store_le<uint32_t>(block, static_cast<uint32_t>(shape.size()));
    block[4] = dtype_code(dtype);
    block[5] = block[6] = block[7] = 0;
    for (size_t i = 0; i < kMaxDims; ++i) {
        uint64_t dim = i < shape.size() ? static_cast<uint64_t>(shape[i]) : 0;
        store_le<uint64_t>(block + 8 + 8 * i, dim);
    }
    store_le<uint64_t>(block + 72, data.size());
    if (!data.empty()) std::memcpy(block + kTensorBlockHeaderSize, data.data(), data.size());
}

std::expected<TensorBlockView, std::string> view_tensor_block(std::span<const uint8_t> region,
                                                              uint64_t offset) {
    const uint64_t size = region.size();
    if (!span_fits(offset, kTensorBlockHeaderSize, size)) {
        return std::unexpected(does_not_fit("Tensor block", offset, size));
    }
    const uint8_t* block = region.data() + offset;
    uint32_t ndim = load_le<uint32_t>(block);
    if (ndim > kMaxDims) {
        return std::unexpected("Tensor block at offset " + std::to_string(offset) + " has " +
                               std::to_string(ndim) + " dimensions, at most 8 are supported");
    }
    uint64_t nbytes = load_le<uint64_t>(block + 72);
    if (!span_fits(offset + kTensorBlockHeaderSize, nbytes, size)) {
        return std::unexpected(does_not_fit("Tensor block", offset, size));
    }
    TensorBlockView view;
    view.shape.reserve(ndim);
    for (uint32_t i = 0; i < ndim; ++i) {
        view.shape.push_back(static_cast<int64_t>(load_le<uint64_t>(block + 8 + 8 * i)));
    }
    view.dtype_code = block[4];
    view.data = region.subspan(offset + kTensorBlockHeaderSize, nbytes);
    return view;
}

std::expected<std::span<const uint8_t>, std::string> output_block_data(
    std::span<const uint8_t> region, uint64_t offset) {
    const uint64_t size = region.size();
    if (!span_fits(offset, kTensorBlockHeaderSize, size)) {
        return std::unexpected(does_not_fit("Output tensor block", offset, size));
    }
    // nbytes is read once: the server may change the region while we look at it.
    uint64_t nbytes = load_le<uint64_t>(region.data() + offset + 72);
    if (!span_fits(offset + kTensorBlockHeaderSize, nbytes, size)) {
        return std::unexpected(does_not_fit("Output tensor block", offset, size));
    }
    return region.subspan(offset + kTensorBlockHeaderSize, nbytes);
}

std::expected<std::span<const uint8_t>, std::string> output_block_data(const ShmRegion& region,
                                                                       uint64_t offset) {
    return output_block_data(std::span<const uint8_t>(region.base(), region.size()), offset);
}

std::expected<std::string, std::string> read_error_text(std::span<const uint8_t> region,
                                                        uint64_t offset) {
    const uint64_t size = region.size();
    if (!span_fits(offset, 8, size)) {
        return std::unexpected(does_not_fit("Error text block", offset, size));
    }
    uint64_t length = load_le<uint64_t>(region.data() + offset);
    if (!span_fits(offset + 8, length, size)) {
        return std::unexpected(does_not_fit("Error text block", offset, size));
    }
    return utf8_lossy(region.subspan(offset + 8, length));
}

std::expected<std::string, std::string> read_error_text(const ShmRegion& region, uint64_t offset) {
    return read_error_text(std::span<const uint8_t>(region.base(), region.size()), offset);
}

}  // namespace zelto::shm
