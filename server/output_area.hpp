// The blocks of the reference server's output area: where it writes outputs and error texts
// for clients to copy out.
//
// A block stays taken until nobody can still be reading it, so blocks are freed out of order:
// the area is a first-fit allocator over a list of free ranges, every block 8-byte aligned.
// Who frees a block depends on how its answer travels:
// - a hybrid connection frees its previous block itself, once it has read the connection's next
//   request or the connection has ended (free());
// - a shared-memory answer is leased to the request's input slot (lease()): the client keeps
//   that slot until it has copied the answer out, so the next request naming the same slot ends
//   the lease (end_leases()); a lease also ends kLease after the answer, the slot lease of the
//   clients, when the client has gone for good.
// Offsets are relative to the start of the area. Safe from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace zelto::server {

class OutputArea {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    static constexpr std::chrono::seconds kLease{30};
    static constexpr uint64_t kAlignment = 8;

    // An area of `size` bytes, all free. `now` tells the time for leases (tests pass their own).
    explicit OutputArea(uint64_t size, Now now = &Clock::now);

    uint64_t size() const { return size_; }

    // Takes a block of at least `length` bytes (rounded up to 8): the lowest free range that
    // fits. When none does, leases past their time are ended and it is tried again. None when
    // no free range is large enough.
    std::optional<uint64_t> allocate(uint64_t length);

    // The block of an answer to a request that names the input block `input_offset`: ends the
    // leases of that input (its client has read them) and takes a block as allocate() does, under
    // one lock. The caller leases the block once it has written it (lease()): the lock taken then
    // orders the writes before whoever frees the block later.
    std::optional<uint64_t> allocate_for(uint64_t length, uint64_t input_offset);

    // Gives a taken block back. An offset that is not a taken block is ignored.
    void free(uint64_t block);

    // Keeps the taken block `block` until a request names `input_offset` again (end_leases) or
    // kLease has passed; then it is freed.
    void lease(uint64_t block, uint64_t input_offset);

    // Frees the blocks leased to `input_offset`: its client has read them.
    void end_leases(uint64_t input_offset);

private:
    // The lease of the block answered to one input block. An input's entry stays once made, and
    // is reused by its next lease: a request's leases then cost no allocation.
    struct Lease {
        uint64_t block = 0;
        Clock::time_point ends{};
        bool held = false;
    };

    static uint64_t block_length(uint64_t length);
    std::optional<uint64_t> allocate_locked(uint64_t length);
    std::optional<uint64_t> take_locked(uint64_t length);
    void lease_locked(uint64_t block, uint64_t input_offset);
    void end_leases_locked(uint64_t input_offset);
    void free_locked(uint64_t block);
    void end_expired_locked();

    const uint64_t size_;
    const Now now_;
    std::mutex mutex_;
    std::map<uint64_t, uint64_t> free_;           // offset -> length, ranges never adjacent
    std::map<uint64_t, uint64_t> taken_;          // offset -> length
    std::unordered_map<uint64_t, Lease> leases_;  // input offset -> its lease
    // A second lease for an input whose first has not ended (a client that does not wait for
    // its answers): kept apart, so neither is lost.
    std::multimap<uint64_t, Lease> more_leases_;
};

}  // namespace zelto::server
