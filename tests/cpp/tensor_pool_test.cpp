#include "shm/tensor_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace zelto::shm {
namespace {

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;

struct LayoutCase {
    const char* label;
    uint64_t base;
    uint64_t total;
    std::vector<SizeClassSpec> classes;  // empty: the defaults
    std::string layout;
};

class PoolLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(PoolLayout, DividesTheAreaIntoClasses) {
    const LayoutCase& c = GetParam();
    auto classes = c.classes.empty() ? TensorPool::default_classes() : c.classes;
    TensorPool pool(c.base, c.total, classes, TensorPool::kDefaultLease);
    EXPECT_EQ(pool.layout(), c.layout);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, PoolLayout,
    ::testing::Values(
        LayoutCase{"defaults_256MiB", 0, 256 * MiB, {},
                   "class0(base=0 slot_size=262144 slots=4), "
                   "class1(base=1048576 slot_size=1048576 slots=3), "
                   "class2(base=4194304 slot_size=4194304 slots=3), "
                   "class3(base=16777216 slot_size=16777216 slots=3), "
                   "class4(base=67108864 slot_size=67108864 slots=3)"},
        LayoutCase{"defaults_2MiB", 94208, 2 * MiB, {},
                   "class0(base=94208 slot_size=262144 slots=4), "
                   "class1(base=1142784 slot_size=1048576 slots=1)"},
        LayoutCase{"defaults_5MiB", 0, 5 * MiB, {},
                   "class0(base=0 slot_size=262144 slots=4), "
                   "class1(base=1048576 slot_size=1048576 slots=4)"},
        LayoutCase{"defaults_64MiB", 0, 64 * MiB, {},
                   "class0(base=0 slot_size=262144 slots=4), "
                   "class1(base=1048576 slot_size=1048576 slots=3), "
                   "class2(base=4194304 slot_size=4194304 slots=3), "
                   "class3(base=16777216 slot_size=16777216 slots=3)"},
        LayoutCase{"smaller_than_every_class", 4096, 100000, {},
                   "class0(base=4096 slot_size=100000 slots=1)"},
        LayoutCase{"empty_area", 7, 0, {}, "class0(base=7 slot_size=1 slots=1)"},
        // 3:1 weights: one slot each, then 100, 100, 200, 100 by credit.
        LayoutCase{"weighted", 0, 800, {{200, 1}, {100, 3}},
                   "class0(base=0 slot_size=100 slots=4), class1(base=400 slot_size=200 slots=2)"},
        // Equal sizes merge (weights 1 + 2 = 3), zero sizes and weights are dropped.
        LayoutCase{"merged", 0, 800, {{100, 1}, {0, 9}, {200, 1}, {100, 2}, {50, 0}},
                   "class0(base=0 slot_size=100 slots=4), class1(base=400 slot_size=200 slots=2)"},
        LayoutCase{"nothing_usable", 10, 300, {{0, 1}, {64, 0}},
                   "class0(base=10 slot_size=300 slots=1)"},
        // The largest class gets no slot, so only class0 is listed.
        LayoutCase{"unused_large_class", 0, 350, {{100, 1}, {1000, 1}},
                   "class0(base=0 slot_size=100 slots=3)"}),
    [](const auto& info) { return std::string(info.param.label); });
// clang-format on

// A clock that tests move by hand.
struct ManualClock {
    TensorPool::Clock::time_point now{std::chrono::hours(1)};
    TensorPool::ClockFn fn() {
        return [this] { return now; };
    }
};

TEST(PoolAllocate, FallsThroughToLargerClassesAndRefusesWhatNoClassHolds) {
    TensorPool pool = TensorPool::with_defaults(0, 256 * MiB);
    EXPECT_EQ(pool.allocate(0), std::nullopt);
    EXPECT_EQ(pool.allocate(64 * MiB + 1), std::nullopt);
    EXPECT_EQ(pool.largest_slot(), 64 * MiB);
    // 262145 bytes skip class0; three 1 MiB slots, then the 4 MiB class.
    std::vector<uint64_t> got;
    for (int i = 0; i < 4; ++i) got.push_back(pool.allocate(256 * KiB + 1).value());
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(got[i], 1 * MiB);
        EXPECT_LT(got[i], 4 * MiB);
    }
    EXPECT_GE(got[3], 4 * MiB);
    EXPECT_LT(got[3], 16 * MiB);
}

TEST(PoolAllocate, FifthSmallRequestInTheDefaultPoolGoesToClass1) {
    TensorPool pool = TensorPool::with_defaults(1000, 2 * MiB);
    for (int i = 0; i < 4; ++i) EXPECT_LT(pool.allocate(200 * KiB).value(), 1000 + 1 * MiB);
    EXPECT_EQ(pool.allocate(200 * KiB), 1000 + 1 * MiB);
    EXPECT_EQ(pool.allocate(200 * KiB), std::nullopt);
}

TEST(PoolAllocate, LeasesRunOutAfterTheirDuration) {
    ManualClock clock;
    TensorPool pool(0, 400, {{100, 1}}, std::chrono::seconds(30), clock.fn());
    uint64_t first = pool.allocate(10).value();
    clock.now += std::chrono::seconds(1);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.allocate(10).has_value());
    EXPECT_EQ(pool.allocate(10), std::nullopt);
    clock.now += std::chrono::seconds(29) - std::chrono::nanoseconds(1);
    EXPECT_EQ(pool.allocate(10), std::nullopt);
    clock.now += std::chrono::nanoseconds(1);  // exactly 30 s after the first lease
    EXPECT_EQ(pool.allocate(10), first);
    EXPECT_EQ(pool.allocate(10), std::nullopt);
}

TEST(PoolAllocate, SuccessiveSearchesStartAtSuccessiveSlots) {
    TensorPool pool(0, 400, {{100, 1}}, TensorPool::kDefaultLease);
    std::vector<uint64_t> offsets;
    for (int i = 0; i < 6; ++i) {
        offsets.push_back(pool.allocate(1).value());
        EXPECT_TRUE(pool.release(offsets.back()));
    }
    EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 100, 200, 300, 0, 100}));
}

TEST(PoolRelease, FreesOnlyTheExactStartOfAKnownSlot) {
    TensorPool pool(1000, 400, {{100, 1}}, TensorPool::kDefaultLease);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(pool.allocate(100).has_value());
    for (uint64_t foreign :
         {uint64_t{1001}, uint64_t{999}, uint64_t{1400}, uint64_t{0}, ~uint64_t{0}}) {
        EXPECT_FALSE(pool.release(foreign)) << foreign;
    }
    EXPECT_EQ(pool.allocate(1), std::nullopt);
    EXPECT_TRUE(pool.release(1200));
    EXPECT_TRUE(pool.release(1200));  // releasing twice is harmless
    EXPECT_EQ(pool.allocate(1), 1200u);
}

TEST(PoolConcurrency, NoSlotIsLeasedToTwoThreadsAtOnce) {
    constexpr int kThreads = 4, kRounds = 20000;
    TensorPool pool(0, 8 * 64, {{64, 1}}, TensorPool::kDefaultLease);
    std::vector<std::atomic<int>> holders(8);
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                auto offset = pool.allocate(64);
                if (!offset) continue;
                if (holders[*offset / 64].fetch_add(1) != 0) overlap = true;
                holders[*offset / 64].fetch_sub(1);
                pool.release(*offset);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_FALSE(overlap.load());
}

}  // namespace
}  // namespace zelto::shm
