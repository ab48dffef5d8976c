#include "shm/ring_buffer.hpp"

#include <atomic>
#include <bit>
#include <cstring>

#include "platform/cpu.hpp"

namespace zelto::shm {

// The index cells are little-endian u64 operated on with native 64-bit atomics.
static_assert(std::endian::native == std::endian::little);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free,
              "index cells shared between processes need address-free, lock-free atomics");

namespace {

constexpr uint64_t kTailCell = 0;
constexpr uint64_t kCommittedCell = 1;
constexpr uint64_t kHeadCell = 2;
constexpr uint64_t kFirstEntryCell = 3;
constexpr uint64_t kYieldEvery = 64;

// Entry bytes are copied word by word with relaxed atomic accesses: a consumer may copy a slot
// that a producer is already rewriting (it then loses the race on head and drops the copy), and
// word-wise atomics keep that overlap well-defined. Slots are 8-byte aligned, entries a whole
// number of words.
void copy_into_slot(uint8_t* slot, const uint8_t* entry, size_t size) noexcept {
    for (size_t i = 0; i < size; i += 8) {
        uint64_t word;
        std::memcpy(&word, entry + i, 8);
        std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(slot + i))
            .store(word, std::memory_order_relaxed);
    }
}

void copy_from_slot(uint8_t* entry, uint8_t* slot, size_t size) noexcept {
    for (size_t i = 0; i < size; i += 8) {
        uint64_t word = std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(slot + i))
                            .load(std::memory_order_relaxed);
        std::memcpy(entry + i, &word, 8);
    }
}

}  // namespace

uint64_t& RingBuffer::cell(uint64_t n) const noexcept {
    return *reinterpret_cast<uint64_t*>(queue_ + n * entry_size_);
}

uint8_t* RingBuffer::slot_address(uint64_t slot) const noexcept {
    return queue_ + (kFirstEntryCell + slot) * entry_size_;
}

uint64_t RingBuffer::tail() const noexcept {
    return std::atomic_ref<uint64_t>(cell(kTailCell)).load(std::memory_order_acquire);
}

uint64_t RingBuffer::committed() const noexcept {
    return std::atomic_ref<uint64_t>(cell(kCommittedCell)).load(std::memory_order_acquire);
}

uint64_t RingBuffer::head() const noexcept {
    return std::atomic_ref<uint64_t>(cell(kHeadCell)).load(std::memory_order_acquire);
}

void RingBuffer::initialize(uint64_t index) noexcept {
    std::atomic_ref<uint64_t>(cell(kTailCell)).store(index);
    std::atomic_ref<uint64_t>(cell(kCommittedCell)).store(index);
    std::atomic_ref<uint64_t>(cell(kHeadCell)).store(index);
}

std::optional<uint64_t> RingBuffer::reserve() noexcept {
    std::atomic_ref<uint64_t> tail_cell(cell(kTailCell));
    for (;;) {
        uint64_t t = tail_cell.load(std::memory_order_acquire);
        // A tail outside the index range means a corrupted queue: nothing can be appended.
        if (t >= kCapacity) return std::nullopt;
        uint64_t n = next(t);
        if (n == head()) return std::nullopt;
        if (tail_cell.compare_exchange_strong(t, n)) return t;
    }
}

void RingBuffer::write_slot(uint64_t slot, std::span<const uint8_t> entry) noexcept {
    copy_into_slot(slot_address(slot), entry.data(), entry_size_);
}

bool RingBuffer::publish(uint64_t slot, std::optional<Clock::time_point> deadline) noexcept {
    std::atomic_ref<uint64_t> committed_cell(cell(kCommittedCell));
    const uint64_t n = next(slot);
    for (uint64_t retries = 0;;) {
        // Succeeds once every earlier reservation has been published.
        uint64_t expected = slot;
        if (committed_cell.compare_exchange_strong(expected, n)) return true;
        ++retries;
        if (retries % kYieldEvery == 0) {
            if (deadline && Clock::now() >= *deadline) return false;
            platform::yield_processor();
        } else {
            platform::spin_pause();
        }
    }
}

bool RingBuffer::try_publish(uint64_t slot) noexcept {
    uint64_t expected = slot;
    return std::atomic_ref<uint64_t>(cell(kCommittedCell))
        .compare_exchange_strong(expected, next(slot));
}

RingBuffer::PushResult RingBuffer::push(
    std::span<const uint8_t> entry, std::optional<Clock::time_point> publish_deadline) noexcept {
    auto slot = reserve();
    if (!slot) return PushResult::Full;
    write_slot(*slot, entry);
    return publish(*slot, publish_deadline) ? PushResult::Ok : PushResult::Stalled;
}

bool RingBuffer::pop(std::span<uint8_t> out) noexcept {
    std::atomic_ref<uint64_t> head_cell(cell(kHeadCell));
    for (;;) {
        uint64_t h = head_cell.load(std::memory_order_acquire);
        uint64_t c = committed();
        // Nothing published, or a head outside the index range (a corrupted queue).
        if (h == c || h >= kCapacity) return false;
        // Copy before moving head: once head has passed the slot a producer may reuse it.
        copy_from_slot(out.data(), slot_address(h), entry_size_);
        if (head_cell.compare_exchange_strong(h, next(h))) return true;
    }
}

}  // namespace zelto::shm
