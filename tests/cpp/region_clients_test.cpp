#include "shm/region_clients.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "shm_test_region.hpp"

namespace zelto::shm {
namespace {

using testing::TestRegion;
using namespace std::chrono_literals;

std::shared_ptr<ShmRegion> attach(const TestRegion& region) {
    return ShmRegion::open(region.name()).value();
}

TEST(RegionClients, ClientsShareOneNumberingThatOutlivesThem) {
    TestRegion region("numbering");
    auto mapping = attach(region);
    auto first = RegionClients::join(*mapping);
    auto second = RegionClients::join(*mapping);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->tag(), second->tag());
    EXPECT_EQ(first->next_request_id(), 1u);
    EXPECT_EQ(second->next_request_id(), 2u);
    // A client that takes over a freed seat goes on from where the others are, so a late
    // answer to the one that left is never taken for its own.
    const uint16_t freed = first->tag();
    first.reset();
    auto third = RegionClients::join(*mapping);
    EXPECT_EQ(third->tag(), freed);
    EXPECT_EQ(third->next_request_id(), 3u);
}

TEST(RegionClients, ANewRegionOfTheSameNameStartsAfresh) {
    auto region = std::make_unique<TestRegion>("replaced");
    const std::string name = region->name();
    auto old_mapping = attach(*region);
    auto old_client = RegionClients::join(*old_mapping);
    ASSERT_TRUE(old_client);
    old_client->next_request_id();
    // The server replaces the region while the old client still holds its seat.
    auto replacement = platform::SharedMapping::create(name, 4 << 20, true).value();
    write_region_header(replacement.base(), {TestRegion::kRequestQueue, TestRegion::kResponseQueue,
                                             TestRegion::kTensorArea, 2 << 20});
    auto fresh = ShmRegion::open(name).value();
    auto client = RegionClients::join(*fresh);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->next_request_id(), 1u);
    // A client of the replaced region works on its own rather than share the new one's object.
    EXPECT_EQ(RegionClients::join(*old_mapping), nullptr);
}

TEST(RegionClients, OneExchangeTurnAtATimeUntilItIsGivenBackOrRunsOut) {
    TestRegion region("turn");
    auto mapping = attach(region);
    auto first = RegionClients::join(*mapping);
    auto second = RegionClients::join(*mapping);
    const auto& wait = platform::unbounded_wait();
    auto now = [] { return std::chrono::steady_clock::now(); };
    {
        auto turn = first->take_turn(wait, now() + 1s, 10s);
        ASSERT_TRUE(turn.has_value());
        auto refused = second->take_turn(wait, now() + 20ms, 10s);
        EXPECT_EQ(refused.error(), platform::WaitStop::TimedOut);
    }
    ASSERT_TRUE(second->take_turn(wait, now() + 1s, 10s).has_value());
    // A holder that never gives its turn back keeps it no longer than it asked for.
    auto kept = first->take_turn(wait, now() + 1s, 30ms);
    ASSERT_TRUE(kept.has_value());
    EXPECT_TRUE(second->take_turn(wait, now() + 5s, 10s).has_value());
}

TEST(RegionClients, PoolsOfDifferentClientsNeverLeaseTheSameSlot) {
    TestRegion region("leases");
    auto mapping = attach(region);
    auto first = RegionClients::join(*mapping);
    auto second = RegionClients::join(*mapping);
    TensorPool a(0, 400, {{100, 1}}, TensorPool::kDefaultLease, {}, first->leases());
    TensorPool b(0, 400, {{100, 1}}, TensorPool::kDefaultLease, {}, second->leases());
    const uint64_t first_of_a = a.allocate(100).value();
    std::set<uint64_t> leased{first_of_a, b.allocate(100).value(), a.allocate(100).value(),
                              b.allocate(100).value()};
    EXPECT_EQ(leased.size(), 4u);
    EXPECT_EQ(a.allocate(100), std::nullopt);
    EXPECT_EQ(b.allocate(100), std::nullopt);
    // A release frees only the pool's own lease; a client that is gone loses all of its own.
    b.release(first_of_a);
    EXPECT_EQ(b.allocate(100), std::nullopt);
    first.reset();
    EXPECT_TRUE(b.allocate(100).has_value());
}

}  // namespace
}  // namespace zelto::shm
