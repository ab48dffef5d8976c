// What the shared-memory and the hybrid client both hold and do: the attached region, the
// client's seat among the region's clients, its tensor pool and request numbering, and the
// first steps of every request: take an id, then refuse a shape the block cannot hold, lease a
// slot, parse the element type and write the input block into the slot.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/fork.hpp"
#include "shm/region.hpp"
#include "shm/region_clients.hpp"
#include "shm/tensor_pool.hpp"
#include "transport/errors.hpp"

namespace zelto::shm {

// A leased pool slot, given back when the request ends, whichever way it ends.
class SlotLease {
public:
    SlotLease(TensorPool& pool, uint64_t offset) : pool_(&pool), offset_(offset) {}
    SlotLease(SlotLease&& other) noexcept
        : pool_(std::exchange(other.pool_, nullptr)), offset_(other.offset_) {}
    SlotLease& operator=(SlotLease&&) = delete;
    ~SlotLease() {
        if (pool_ != nullptr) pool_->release(offset_);
    }

    uint64_t offset() const { return offset_; }
    // Leaves the slot leased until its lease runs out: for a block the server may still read
    // after the request ended.
    void keep() { pool_ = nullptr; }

private:
    TensorPool* pool_;
    uint64_t offset_;
};

class RegionAttachment {
public:
    // Attaches to the region (a SharedMemory error when it cannot), takes a seat among its
    // clients (a SharedMemory error when it cannot) and builds the default pool over its tensor
    // area. `log` receives the attach record.
    static std::expected<RegionAttachment, Error> open(const std::string& shm_name,
                                                       const LogFn& log);

    const ShmRegion& region() const { return *region_; }
    const std::shared_ptr<ShmRegion>& shared_region() const { return region_; }
    RegionClients& clients() const { return *clients_; }

    // Whether the region's name now names another region than the one mapped: a server that
    // restarted made a new one. False while the name names none (the server may come back).
    bool replaced() const;

    // A Usage error (kCreatedInOtherProcess) in a child forked after the attachment was made:
    // the child must not send requests that the parent's pool and numbering believe are theirs.
    std::optional<Error> refuse_in_other_process() const;
    // Whether this is a child forked after the attachment was made.
    bool in_other_process() const { return stamp_.in_other_process(); }

    // The id of the next request; every call that reaches the engine uses one up.
    uint64_t take_request_id() { return clients_->next_request_id(); }

    // Refuses more than 8 dimensions (InvalidInput), leases a slot for the block
    // (PoolExhausted), parses `dtype` (InvalidInput), makes the slot's memory exist
    // (PoolExhausted "Shared memory error: " + the system's text when it cannot, e.g. on a full
    // file system) and writes the block.
    std::expected<SlotLease, Error> place_input(std::span<const int64_t> shape,
                                                std::string_view dtype,
                                                std::span<const uint8_t> data);

private:
    RegionAttachment(std::shared_ptr<ShmRegion> region, std::shared_ptr<RegionClients> clients);

    // Members are released bottom up: the pool's leases before the seat that owns them, the
    // seat before the region.
    std::shared_ptr<ShmRegion> region_;
    std::shared_ptr<RegionClients> clients_;
    std::unique_ptr<TensorPool> pool_;  // a fixed address, which leases point to
    // How many bytes from each slot's start this attachment has made exist (see place_input).
    std::unordered_map<uint64_t, uint64_t> populated_;
    platform::ProcessStamp stamp_;
};

}  // namespace zelto::shm
