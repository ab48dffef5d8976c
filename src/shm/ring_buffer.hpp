// A lock-free multi-producer, multi-consumer queue of fixed-size entries in a shared region.
//
// A queue of E-byte entries occupies 1024 cells of E bytes:
//   cell 0      tail       u64 in the first 8 bytes: the slot the next producer reserves
//   cell 1      committed  u64: slots from head up to (not including) committed are published
//   cell 2      head       u64: the slot the next consumer takes
//   cell 3 + i  entry slot i, i = 0 .. 1020
// Indexes run modulo 1021. Empty: head == committed. Full: next(tail) == head, so at most 1020
// entries are in flight and one slot always stays unused.
//
// A producer reserves a slot by moving tail forward (CAS), copies its entry in, then publishes
// by moving committed from its slot to the next (CAS). Publishing happens strictly in
// reservation order: a producer whose predecessor has not published yet spins (pause hint, a
// yield every 64th retry) until it has. A consumer copies the slot at head and then moves head
// forward (CAS); if another consumer moved it first, the copy is dropped and it starts over.
//
// The index cells are shared with other processes, which may be faulty: an index read from a
// cell that is out of range is never used to address a slot.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zelto::shm {

class RingBuffer {
public:
    static constexpr uint64_t kCells = 1024;
    static constexpr uint64_t kCapacity = 1021;  // entry slots: the cells less the three indexes

    using Clock = std::chrono::steady_clock;

    enum class PushResult { Ok, Full, Stalled };

    // A view of the queue whose first cell is at `queue`, with entries of `entry_size` bytes.
    // `queue` must be 8-byte aligned and entry_size a multiple of 8 of at least 8.
    RingBuffer(uint8_t* queue, size_t entry_size) noexcept
        : queue_(queue), entry_size_(entry_size) {}

    // Appends `entry` (entry_size bytes). Full leaves the queue unchanged. Stalled means the
    // entry was reserved and written but an earlier producer had still not published when
    // `publish_deadline` passed; without a deadline the publish waits as long as it takes.
    PushResult push(std::span<const uint8_t> entry,
                    std::optional<Clock::time_point> publish_deadline = std::nullopt) noexcept;

    // Takes the oldest published entry into `out` (entry_size bytes). False when empty.
    bool pop(std::span<uint8_t> out) noexcept;

    // The steps of push, for callers that interleave them (tests of publish order).
    std::optional<uint64_t> reserve() noexcept;  // the reserved slot, or none when full
    void write_slot(uint64_t slot, std::span<const uint8_t> entry) noexcept;
    bool publish(uint64_t slot, std::optional<Clock::time_point> deadline = std::nullopt) noexcept;
    // One attempt to publish `slot`: true once every earlier reservation has been published and
    // this one is too.
    bool try_publish(uint64_t slot) noexcept;

    // Reads of the index cells.
    uint64_t tail() const noexcept;
    uint64_t committed() const noexcept;
    uint64_t head() const noexcept;

    // Sets all three index cells to `index`: an empty queue. Only the region's creator does this,
    // before anyone else attaches.
    void initialize(uint64_t index = 0) noexcept;

    static constexpr uint64_t next(uint64_t index) noexcept { return (index + 1) % kCapacity; }

private:
    uint64_t& cell(uint64_t n) const noexcept;
    uint8_t* slot_address(uint64_t slot) const noexcept;

    uint8_t* queue_;
    size_t entry_size_;
};

}  // namespace zelto::shm
