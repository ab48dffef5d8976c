// Process-local, lease-based slot allocator over a region's tensor area.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace zelto::shm {

// Where a pool keeps its leases: words shared by every client of a region, so that clients in
// other pools (other objects, other processes) never lease a slot that is leased already.
// Word i serves the slots whose ordinal (counted over all classes, smallest class first) is i
// modulo the number of words; two slots that share a word are never leased at once, which is
// merely cautious. A word holds 0 (free) or the holder's tag (16 bits, not 0) above the lease's
// expiry in milliseconds of the monotonic clock (48 bits).
struct SharedLeases {
    std::span<uint64_t> words;  // 8-byte aligned, in memory shared with the other holders
    uint16_t owner = 1;         // this pool's tag
    // Whether the holder with `tag` still exists; asked only when no slot is free, so that the
    // leases of a client that died are taken back before their time.
    std::function<bool(uint16_t tag)> owner_alive;
};

struct SizeClassSpec {
    uint64_t size;
    uint32_t weight;
};

class TensorPool {
public:
    using Clock = std::chrono::steady_clock;
    using ClockFn = std::function<Clock::time_point()>;  // injectable for tests

    static constexpr std::chrono::seconds kDefaultLease{30};
    static std::vector<SizeClassSpec> default_classes();  // 256 KiB .. 64 MiB, weight 1 each

    // Without `shared` leases the pool keeps them in memory of its own.
    TensorPool(uint64_t base, uint64_t total, std::vector<SizeClassSpec> classes,
               Clock::duration lease, ClockFn clock = {}, SharedLeases shared = {});
    static TensorPool with_defaults(uint64_t base, uint64_t total, SharedLeases shared = {}) {
        return TensorPool(base, total, default_classes(), kDefaultLease, {}, std::move(shared));
    }
    TensorPool(TensorPool&&) noexcept;
    ~TensorPool();

    std::optional<uint64_t> allocate(uint64_t required);
    // Frees the slot at `offset` unless another holder has leased it since this pool's lease
    // ran out.
    bool release(uint64_t offset);
    // The number of slots over all classes.
    uint64_t slot_count() const;
    uint64_t largest_slot() const;
    std::string layout() const;
    // The text a client shows when no slot of `required` bytes is free.
    std::string exhausted_message(uint64_t required) const;

private:
    struct SizeClass;
    std::optional<uint64_t> try_classes(uint64_t required);
    // Frees the leases held by tags whose holder is gone; true if any was freed.
    bool reclaim_abandoned();

    std::vector<std::unique_ptr<SizeClass>> classes_;
    ClockFn clock_;
    std::unique_ptr<uint64_t[]> own_words_;  // the lease words when none are shared
    SharedLeases leases_;
};

}  // namespace zelto::shm
