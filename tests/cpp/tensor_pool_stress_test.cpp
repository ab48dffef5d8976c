// The tensor pool under many threads: no byte of the area is leased to two holders at once,
// every lease lies inside one slot of a class large enough, and nothing is lost on the way.
// ZELTO_STRESS_ENTRIES sets the rounds per thread (stress_size.hpp).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "shm/tensor_pool.hpp"
#include "stress_size.hpp"

namespace zelto::shm {
namespace {

// Sum of the "slots=N" entries of a layout text.
uint64_t slot_count(const std::string& layout) {
    static const std::regex slots(R"(slots=(\d+))");
    uint64_t total = 0;
    for (auto it = std::sregex_iterator(layout.begin(), layout.end(), slots);
         it != std::sregex_iterator(); ++it) {
        total += std::stoull((*it)[1].str());
    }
    return total;
}

TEST(PoolStress, ThreadsNeverShareLeasedBytesAndEverySlotComesBack) {
    constexpr uint64_t kBase = 1 << 20;
    constexpr uint64_t kTotal = 6000;
    constexpr uint64_t kGranule = 64;  // every slot size below is a multiple of it
    constexpr int kThreads = 8;
    const uint64_t rounds = zelto::testing::stress_entries();
    constexpr size_t kHeldPerThread = 3;
    TensorPool pool(kBase, kTotal, {{64, 2}, {256, 1}, {1024, 1}}, TensorPool::kDefaultLease);
    const uint64_t slots = slot_count(pool.layout());
    ASSERT_GT(slots, 6u) << pool.layout();

    // Who holds each 64-byte granule of the area: -1 for nobody.
    std::vector<std::atomic<int>> owner(kTotal / kGranule + 1);
    for (auto& o : owner) o = -1;
    std::atomic<uint64_t> granted{0}, refused{0}, overlaps{0}, out_of_area{0}, bad_release{0};

    auto claim = [&](int thread, uint64_t offset, uint64_t size) {
        if (offset < kBase || offset - kBase + size > kTotal) {
            ++out_of_area;
            return;
        }
        for (uint64_t g = (offset - kBase) / kGranule; g <= (offset - kBase + size - 1) / kGranule;
             ++g) {
            int expected = -1;
            if (!owner[g].compare_exchange_strong(expected, thread)) ++overlaps;
        }
    };
    auto give_back = [&](int thread, uint64_t offset, uint64_t size) {
        if (offset < kBase || offset - kBase + size > kTotal) return;
        for (uint64_t g = (offset - kBase) / kGranule; g <= (offset - kBase + size - 1) / kGranule;
             ++g) {
            int expected = thread;
            if (!owner[g].compare_exchange_strong(expected, -1)) ++overlaps;
        }
        if (!pool.release(offset)) ++bad_release;
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937_64 random(t + 1);
            // Sizes up to just past the largest class, so each class, the fall-through to
            // larger ones and the refusal of what no class holds are all exercised.
            std::uniform_int_distribution<uint64_t> size(1, 1100);
            std::deque<std::pair<uint64_t, uint64_t>> held;
            for (uint64_t round = 0; round < rounds; ++round) {
                uint64_t required = size(random);
                if (auto offset = pool.allocate(required)) {
                    ++granted;
                    claim(t, *offset, required);
                    held.emplace_back(*offset, required);
                } else {
                    ++refused;
                }
                if (held.size() > kHeldPerThread || (!held.empty() && random() % 3 == 0)) {
                    give_back(t, held.front().first, held.front().second);
                    held.pop_front();
                }
            }
            for (auto [offset, required] : held) give_back(t, offset, required);
        });
    }
    for (auto& thread : threads) thread.join();

    EXPECT_EQ(overlaps.load(), 0u);
    EXPECT_EQ(out_of_area.load(), 0u);
    EXPECT_EQ(bad_release.load(), 0u);
    EXPECT_GT(granted.load(), 0u);
    EXPECT_GT(refused.load(), 0u);  // at least the sizes beyond 1024

    // Every lease was released: each slot is handed out once more, and then the pool is empty.
    std::set<uint64_t> offsets;
    while (auto offset = pool.allocate(1)) ASSERT_TRUE(offsets.insert(*offset).second);
    EXPECT_EQ(offsets.size(), slots);
}

}  // namespace
}  // namespace zelto::shm
