// The shared-region side of the reference server.
//
// The server creates the region that clients attach to:
//
//   offset 0        RegionHeader (40 bytes)
//   64              request queue, 1024 cells of 40 bytes
//   41024           response queue, 1024 cells of 48 bytes
//   page-aligned    tensor area (clients' slots), --tensor-area bytes
//   page-aligned    output area, owned by the server: output blocks and error texts
//
// The output area is a ring: each output goes right after the previous one and the ring wraps
// to its start when the next block does not fit before its end. A client copies its output as
// soon as it sees the response, so a block is only overwritten after a whole area's worth of
// later outputs, which would need the region to be shared by several busy clients.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/shared_memory.hpp"
#include "service.hpp"
#include "shm/region.hpp"
#include "transport/tensor.hpp"

namespace zelto::server {

inline constexpr uint64_t kDefaultTensorArea = 256ULL << 20;
inline constexpr uint64_t kMaxTensorArea = 1ULL << 40;

// A region created by this server. Removes the region's name when dropped (or at unlink()).
class ServerRegion {
public:
    // Creates NAME (replacing a region left by a server that died) with a tensor area of
    // `tensor_area` bytes and an output area of the same size, and writes the header and the
    // empty queues.
    static std::expected<std::shared_ptr<ServerRegion>, std::string> create(std::string name,
                                                                            uint64_t tensor_area);
    ~ServerRegion();
    ServerRegion(const ServerRegion&) = delete;
    ServerRegion& operator=(const ServerRegion&) = delete;

    const std::string& name() const { return name_; }
    uint8_t* base() const { return mapping_.base(); }
    uint64_t size() const { return mapping_.size(); }
    std::span<const uint8_t> bytes() const { return {mapping_.base(), mapping_.size()}; }
    const shm::RegionLayout& layout() const { return layout_; }

    // Writes an output TensorBlock into the output area and returns its offset. Fails with a
    // text when the block is larger than the whole output area. Safe from any thread.
    std::expected<uint64_t, std::string> place_output(const Tensor& output);

    // Writes an error text block (u64 length + UTF-8) and returns its offset, or 0 when the text
    // cannot be placed. Safe from any thread.
    uint64_t place_error_text(std::string_view text);

    // Reads the client's request block at `offset` (announced as `size` bytes) into a tensor,
    // refusing one that does not lie inside the region or has an unknown dtype code.
    std::expected<Tensor, std::string> read_input(uint64_t offset, uint64_t size) const;

    // Removes the name so no new client can attach; mappings stay valid.
    void unlink();

private:
    ServerRegion(std::string name, platform::SharedMapping mapping, shm::RegionLayout layout,
                 uint64_t output_offset, uint64_t output_size);
    // Reserves `length` bytes of the output ring; the caller holds output_mutex_.
    std::optional<uint64_t> reserve_output(uint64_t length);

    std::string name_;
    platform::SharedMapping mapping_;
    shm::RegionLayout layout_;
    uint64_t output_offset_;
    uint64_t output_size_;
    std::mutex output_mutex_;
    uint64_t output_next_ = 0;  // relative to output_offset_
    std::once_flag unlinked_;
};

// Serves the region's request queue on its own thread: each request runs the model named by its
// param_code (or `default_model` when that is 0) and is answered on the response queue. Prints
// "listening on shm NAME". Stopping it unlinks the region.
StartResult start_shm_service(std::shared_ptr<ServerRegion> region, uint32_t default_model);

// The same from the command line's texts: --tensor-area BYTES (default 256 MiB) and
// --shm-model ID (default 1, echo). A bad number is an error text.
std::expected<std::shared_ptr<ServerRegion>, std::string> create_server_region(
    const std::string& name, const std::optional<std::string>& tensor_area);
StartResult start_shm_service(std::shared_ptr<ServerRegion> region,
                              const std::optional<std::string>& model);

}  // namespace zelto::server
