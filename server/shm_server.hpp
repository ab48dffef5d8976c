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
// The output area starts with the error text "output area full", written once at creation, so
// that this error always has its text; the rest holds blocks (output_area.hpp) that are freed
// only once no client can still be reading them. When no block is free, a request is answered
// with that error rather than by overwriting an answer a client may be copying out.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "output_area.hpp"
#include "platform/shared_memory.hpp"
#include "service.hpp"
#include "shm/region.hpp"
#include "transport/tensor.hpp"

namespace zelto::server {

inline constexpr uint64_t kDefaultTensorArea = 256ULL << 20;
inline constexpr uint64_t kMaxTensorArea = 1ULL << 40;
// The error text of a request whose answer finds no free block in the output area.
inline constexpr std::string_view kOutputAreaFull = "output area full";

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

    // Writes an output TensorBlock into a free block of the output area and returns its offset.
    // Without `input_offset` the block stays taken until release_output(); with it, the answer
    // is a shared-memory one: the leases of that input block end (its client has read them) and
    // the new block is leased to it, until a request names the input block again or
    // OutputArea::kLease has passed. Fails with kOutputAreaFull when no block is free, and with
    // a longer text when the output is larger than the whole output area. Safe from any thread.
    std::expected<uint64_t, std::string> place_output(
        const Tensor& output, std::optional<uint64_t> input_offset = std::nullopt);

    // Writes an error text block (u64 length + UTF-8) into a free block and returns its offset,
    // held as an output is. When no block is free it returns the fixed "output area full" block
    // instead, which is never freed. Safe from any thread.
    uint64_t place_error_text(std::string_view text,
                              std::optional<uint64_t> input_offset = std::nullopt);

    // Frees a block that place_output or place_error_text returned without an input block.
    void release_output(uint64_t offset);

    // A request names the input block `input_offset`: the answers leased to it have been read.
    void inputs_read(uint64_t input_offset);

    // Reads the client's request block at `offset` (announced as `size` bytes) into a tensor,
    // refusing one that does not lie inside the region or has an unknown dtype code.
    std::expected<Tensor, std::string> read_input(uint64_t offset, uint64_t size) const;

    // Removes the name so no new client can attach; mappings stay valid.
    void unlink();

private:
    ServerRegion(std::string name, platform::SharedMapping mapping, shm::RegionLayout layout,
                 uint64_t output_offset, uint64_t output_size);
    // Writes the fixed "output area full" text at the start of the output area; the blocks
    // come after it.
    void place_full_text();
    // A block of `length` bytes in the output area, as an offset into the region; with
    // `input_offset`, the leases of that input block end first.
    std::optional<uint64_t> take_block(uint64_t length, std::optional<uint64_t> input_offset);
    // Leases a written block (an offset into the region) to the input block `input_offset`.
    void lease_output(uint64_t offset, uint64_t input_offset);

    std::string name_;
    platform::SharedMapping mapping_;
    shm::RegionLayout layout_;
    uint64_t output_offset_;
    uint64_t output_size_;
    uint64_t blocks_offset_;  // where output_area_'s offsets start
    OutputArea output_area_;
    std::once_flag unlinked_;
};

// Serves the region's request queue on `workers` threads (at least 1): each request runs the
// model named by its param_code (or `default_model` when that is 0) and is answered on the
// response queue, so up to `workers` requests run their model at once. Prints
// "listening on shm NAME". Stopping it unlinks the region.
StartResult start_shm_service(std::shared_ptr<ServerRegion> region, uint32_t default_model,
                              size_t workers);

// The same from the command line's texts: --tensor-area BYTES (default 256 MiB),
// --shm-model ID (default 1, echo) and --workers N (default: the processors available to the
// process). A bad number is an error text.
std::expected<std::shared_ptr<ServerRegion>, std::string> create_server_region(
    const std::string& name, const std::optional<std::string>& tensor_area);
StartResult start_shm_service(std::shared_ptr<ServerRegion> region,
                              const std::optional<std::string>& model,
                              const std::optional<std::string>& workers);

}  // namespace zelto::server
