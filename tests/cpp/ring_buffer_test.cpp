#include "shm/ring_buffer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <thread>
#include <vector>

#include "shm/little_endian.hpp"
#include "stress_size.hpp"

namespace zelto::shm {
namespace {

constexpr size_t kEntry = 40;

// A queue of 40-byte entries in ordinary, 8-byte aligned memory.
struct LocalQueue {
    std::vector<uint64_t> cells = std::vector<uint64_t>(RingBuffer::kCells * kEntry / 8, 0);
    uint8_t* base() { return reinterpret_cast<uint8_t*>(cells.data()); }
    RingBuffer view() { return RingBuffer(base(), kEntry); }
    uint8_t* slot(uint64_t i) { return base() + (3 + i) * kEntry; }
};

std::array<uint8_t, kEntry> entry(uint64_t a, uint64_t b = 0) {
    std::array<uint8_t, kEntry> e{};
    store_le<uint64_t>(e.data(), a);
    store_le<uint64_t>(e.data() + 8, b);
    std::memset(e.data() + 16, static_cast<int>(a & 0xFF), kEntry - 16);
    return e;
}

uint64_t first_word(const std::array<uint8_t, kEntry>& e) {
    return load_le<uint64_t>(e.data());
}

TEST(RingBuffer, FirstPushFillsSlotZeroAndPopTakesIt) {
    LocalQueue q;
    RingBuffer ring = q.view();
    EXPECT_EQ(ring.push(entry(77)), RingBuffer::PushResult::Ok);
    EXPECT_EQ(ring.tail(), 1u);
    EXPECT_EQ(ring.committed(), 1u);
    EXPECT_EQ(ring.head(), 0u);
    EXPECT_EQ(std::memcmp(q.slot(0), entry(77).data(), kEntry), 0);
    std::array<uint8_t, kEntry> out{};
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(out, entry(77));
    EXPECT_EQ(ring.head(), 1u);
    EXPECT_FALSE(ring.pop(out));
}

TEST(RingBuffer, HoldsAtMost1020EntriesAndAFullPushChangesNothing) {
    LocalQueue q;
    RingBuffer ring = q.view();
    ring.initialize(500);  // start mid-array so the entries wrap around
    for (uint64_t i = 0; i < 1020; ++i) ASSERT_EQ(ring.push(entry(i)), RingBuffer::PushResult::Ok);
    std::vector<uint64_t> before = q.cells;
    EXPECT_EQ(ring.push(entry(9999)), RingBuffer::PushResult::Full);
    EXPECT_EQ(q.cells, before);
    std::array<uint8_t, kEntry> out{};
    for (uint64_t i = 0; i < 1020; ++i) {
        ASSERT_TRUE(ring.pop(out));
        ASSERT_EQ(first_word(out), i);
    }
    EXPECT_FALSE(ring.pop(out));
}

TEST(RingBuffer, IndexesWrapFrom1020ToZero) {
    LocalQueue q;
    RingBuffer ring = q.view();
    ring.initialize(1020);
    ASSERT_EQ(ring.push(entry(5)), RingBuffer::PushResult::Ok);
    EXPECT_EQ(ring.tail(), 0u);
    EXPECT_EQ(ring.committed(), 0u);
    EXPECT_EQ(std::memcmp(q.slot(1020), entry(5).data(), kEntry), 0);
    ASSERT_EQ(ring.push(entry(6)), RingBuffer::PushResult::Ok);
    EXPECT_EQ(std::memcmp(q.slot(0), entry(6).data(), kEntry), 0);
    std::array<uint8_t, kEntry> out{};
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(ring.head(), 0u);
    EXPECT_EQ(first_word(out), 5u);
}

TEST(RingBuffer, PublishesInReservationOrderAndPopsOnlyPublishedEntries) {
    LocalQueue q;
    RingBuffer ring = q.view();
    ring.initialize(5);
    auto first = ring.reserve(), second = ring.reserve();
    ASSERT_EQ(first, 5u);
    ASSERT_EQ(second, 6u);
    ring.write_slot(*second, entry(2));
    std::array<uint8_t, kEntry> out{};
    EXPECT_FALSE(ring.pop(out));  // reserved, not published: tail is ahead, committed is not

    // The second cannot publish before the first; with a deadline that has passed it gives up.
    EXPECT_FALSE(ring.publish(*second, RingBuffer::Clock::now()));
    EXPECT_EQ(ring.committed(), 5u);

    // Unbounded, it waits for the first and then moves committed from 6 to 7.
    std::thread late([&] { EXPECT_TRUE(ring.publish(*second)); });
    ring.write_slot(*first, entry(1));
    EXPECT_TRUE(ring.publish(*first));
    late.join();
    EXPECT_EQ(ring.committed(), 7u);
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(first_word(out), 1u);
    ASSERT_TRUE(ring.pop(out));
    EXPECT_EQ(first_word(out), 2u);
}

TEST(RingBuffer, PushBehindADeadProducerReportsStalled) {
    LocalQueue q;
    RingBuffer ring = q.view();
    ASSERT_TRUE(ring.reserve().has_value());  // never published
    auto deadline = RingBuffer::Clock::now() + std::chrono::milliseconds(20);
    EXPECT_EQ(ring.push(entry(1), deadline), RingBuffer::PushResult::Stalled);
    EXPECT_EQ(ring.committed(), 0u);
    EXPECT_EQ(ring.tail(), 2u);
}

TEST(RingBuffer, OutOfRangeIndexCellsAreNeverUsedToAddressSlots) {
    LocalQueue q;
    RingBuffer ring = q.view();
    q.cells[0] = 5000;  // tail
    EXPECT_EQ(ring.push(entry(1)), RingBuffer::PushResult::Full);
    ring.initialize();
    q.cells[2 * kEntry / 8] = 1u << 30;  // head
    q.cells[kEntry / 8] = 3;             // committed
    std::array<uint8_t, kEntry> out{};
    EXPECT_FALSE(ring.pop(out));
}

// Entries carry (producer, sequence); every consumer records what it took, in order.
void check_exactly_once_in_order(
    const std::vector<std::vector<std::pair<uint64_t, uint64_t>>>& taken, uint64_t producers,
    uint64_t per_producer) {
    std::vector<std::vector<int>> seen(producers, std::vector<int>(per_producer, 0));
    for (const auto& consumer : taken) {
        std::vector<int64_t> last(producers, -1);
        for (auto [producer, seq] : consumer) {
            ASSERT_LT(producer, producers);
            ASSERT_LT(seq, per_producer);
            ASSERT_GT(static_cast<int64_t>(seq), last[producer]) << "reordered";
            last[producer] = static_cast<int64_t>(seq);
            ++seen[producer][seq];
        }
    }
    for (uint64_t p = 0; p < producers; ++p) {
        for (uint64_t s = 0; s < per_producer; ++s) ASSERT_EQ(seen[p][s], 1) << p << "/" << s;
    }
}

void produce(RingBuffer ring, uint64_t producer, uint64_t count) {
    for (uint64_t seq = 0; seq < count;) {
        if (ring.push(entry(producer, seq)) == RingBuffer::PushResult::Ok)
            ++seq;
        else
            std::this_thread::yield();
    }
}

// Pops until `total` entries have been taken by all consumers together.
void consume(RingBuffer ring, std::atomic_ref<uint64_t> taken_total, uint64_t total,
             std::vector<std::pair<uint64_t, uint64_t>>& out) {
    std::array<uint8_t, kEntry> e{};
    while (taken_total.load() < total) {
        if (ring.pop(e)) {
            out.emplace_back(first_word(e), load_le<uint64_t>(e.data() + 8));
            taken_total.fetch_add(1);
        } else {
            std::this_thread::yield();
        }
    }
}

TEST(RingBufferStress, ThreadsDeliverEveryEntryOnceAndInProducerOrder) {
    constexpr uint64_t kProducers = 4, kConsumers = 3;
    const uint64_t kPerProducer = zelto::testing::stress_entries();
    LocalQueue q;
    uint64_t total_taken = 0;
    std::vector<std::vector<std::pair<uint64_t, uint64_t>>> taken(kConsumers);
    std::vector<std::thread> threads;
    for (uint64_t c = 0; c < kConsumers; ++c) {
        threads.emplace_back(consume, q.view(), std::atomic_ref<uint64_t>(total_taken),
                             kProducers * kPerProducer, std::ref(taken[c]));
    }
    for (uint64_t p = 0; p < kProducers; ++p)
        threads.emplace_back(produce, q.view(), p, kPerProducer);
    for (auto& t : threads) t.join();
    check_exactly_once_in_order(taken, kProducers, kPerProducer);
}

}  // namespace
}  // namespace zelto::shm
