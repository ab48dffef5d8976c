#include "output_area.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace zelto::server {
namespace {

using namespace std::chrono_literals;

// An area whose lease clock the test moves by hand.
struct Area {
    explicit Area(uint64_t size)
        : now(std::make_shared<OutputArea::Clock::time_point>()),
          area(size, [now = now] { return *now; }) {}
    std::shared_ptr<OutputArea::Clock::time_point> now;
    OutputArea area;
};

TEST(OutputArea, AHeldBlockIsNeverHandedOutAgain) {
    Area a(128);
    auto leased = a.area.allocate(64);
    auto kept = a.area.allocate(60);  // rounded up to 64: the area is full
    ASSERT_EQ(leased, 0u);
    ASSERT_EQ(kept, 64u);
    a.area.lease(*leased, 4096);
    a.area.end_leases(8192);  // another input block says nothing about this one
    EXPECT_EQ(a.area.allocate(8), std::nullopt);
    a.area.end_leases(4096);
    EXPECT_EQ(a.area.allocate(64), 0u);
    EXPECT_EQ(a.area.allocate(8), std::nullopt);  // the unleased block stays taken too
}

TEST(OutputArea, FreesOutOfOrderAndMergesNeighbours) {
    Area a(192);
    auto first = a.area.allocate(64), second = a.area.allocate(64), third = a.area.allocate(64);
    a.area.free(*second);
    EXPECT_EQ(a.area.allocate(72), std::nullopt);  // 64 free bytes, not 72
    a.area.free(*first);
    EXPECT_EQ(a.area.allocate(128), 0u);
    a.area.free(0);
    a.area.free(*third);
    EXPECT_EQ(a.area.allocate(192), 0u);
}

TEST(OutputArea, FullOrTooLargeGivesNoBlock) {
    Area a(64);
    EXPECT_EQ(a.area.allocate(65), std::nullopt);
    EXPECT_EQ(a.area.allocate(1), 0u);
    EXPECT_EQ(a.area.allocate(56), 8u);
    EXPECT_EQ(a.area.allocate(1), std::nullopt);
}

TEST(OutputArea, ALeaseEndsThirtySecondsAfterTheAnswer) {
    Area a(64);
    a.area.lease(*a.area.allocate(64), 4096);
    *a.now += OutputArea::kLease - 1ms;
    EXPECT_EQ(a.area.allocate(64), std::nullopt);
    *a.now += 1ms;
    auto again = a.area.allocate(64);
    ASSERT_EQ(again, 0u);
    // The ended lease must not free the block's new owner later.
    *a.now += OutputArea::kLease * 2;
    EXPECT_EQ(a.area.allocate(64), std::nullopt);
}

TEST(OutputArea, ALeaseEndedByTheNextRequestDoesNotExpireOnTheNextOwner) {
    Area a(64);
    a.area.lease(*a.area.allocate(64), 4096);
    a.area.end_leases(4096);
    ASSERT_EQ(a.area.allocate(64), 0u);  // the hybrid side's, freed by its connection
    *a.now += OutputArea::kLease;
    EXPECT_EQ(a.area.allocate(64), std::nullopt);
}

// A shared-memory answer's block: the same input's earlier answer makes room for the new one,
// another input's answer stays.
TEST(OutputArea, AnAnswersBlockFreesOnlyItsOwnInputsEarlierAnswer) {
    Area a(128);
    auto answer = [&](uint64_t length, uint64_t input) {
        auto block = a.area.allocate_for(length, input);
        if (block) a.area.lease(*block, input);
        return block;
    };
    ASSERT_EQ(answer(64, 4096), 0u);
    ASSERT_EQ(answer(64, 8192), 64u);
    EXPECT_EQ(answer(64, 4096), 0u);
    EXPECT_EQ(a.area.allocate(8), std::nullopt);
    EXPECT_EQ(answer(200, 8192), std::nullopt);  // larger than the area
    EXPECT_EQ(a.area.allocate(64), 64u);         // ...yet its request ended the earlier lease
    a.area.end_leases(4096);
    EXPECT_EQ(a.area.allocate(64), 0u);
}

}  // namespace
}  // namespace zelto::server
