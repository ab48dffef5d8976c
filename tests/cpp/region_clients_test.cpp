#include "shm/region_clients.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "shm/little_endian.hpp"
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
    auto first = RegionClients::join(*mapping).value();
    auto second = RegionClients::join(*mapping).value();
    EXPECT_NE(first->tag(), second->tag());
    EXPECT_EQ(first->next_request_id(), 1u);
    EXPECT_EQ(second->next_request_id(), 2u);
    // A client that takes over a freed seat goes on from where the others are, so a late
    // answer to the one that left is never taken for its own.
    const uint16_t freed = first->tag();
    first.reset();
    auto third = RegionClients::join(*mapping).value();
    EXPECT_EQ(third->tag(), freed);
    EXPECT_EQ(third->next_request_id(), 3u);
}

TEST(RegionClients, ANewRegionOfTheSameNameStartsAfresh) {
    auto region = std::make_unique<TestRegion>("replaced");
    const std::string name = region->name();
    auto old_mapping = attach(*region);
    auto old_client = RegionClients::join(*old_mapping).value();
    old_client->next_request_id();
    // The server replaces the region while the old client still holds its seat.
    auto replacement = platform::SharedMapping::create(name, 4 << 20, true).value();
    write_region_header(replacement.base(), {TestRegion::kRequestQueue, TestRegion::kResponseQueue,
                                             TestRegion::kTensorArea, 2 << 20});
    auto fresh = ShmRegion::open(name).value();
    auto client = RegionClients::join(*fresh).value();
    EXPECT_EQ(client->next_request_id(), 1u);
    // A client of the replaced region cannot join the new one's clients.
    auto refused = RegionClients::join(*old_mapping);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, ErrorKind::SharedMemory);
    EXPECT_TRUE(refused.error().message.starts_with(
        "Shared memory error: cannot join the other clients of this region: "));
    EXPECT_EQ(client->next_request_id(), 2u);
}

RegionClients::ResponseBytes answer_for(uint64_t id, uint8_t status) {
    RegionClients::ResponseBytes entry{};
    store_le<uint64_t>(entry.data(), id);
    entry[8] = status;
    return entry;
}

TEST(RegionClients, AnAnswerPoppedByAnotherClientReachesItsOwnerOnlyWhileItWaits) {
    TestRegion region("mailboxes");
    auto mapping = attach(region);
    auto owner = RegionClients::join(*mapping).value();
    auto other = RegionClients::join(*mapping).value();
    // Ids far enough apart to share their first mailbox.
    const uint64_t first = 5;
    const uint64_t second = 5 + RegionClients::kMailboxes;
    auto waits_first = owner->open_mailbox(first);
    auto waits_second = owner->open_mailbox(second);
    ASSERT_TRUE(waits_first && waits_second);
    EXPECT_FALSE(waits_second->delivered());
    EXPECT_TRUE(other->deliver(answer_for(second, 2)));
    EXPECT_FALSE(waits_first->delivered());
    EXPECT_EQ(waits_second->delivered().value(), answer_for(second, 2));
    // Nobody waits for an answer twice, nor for one whose caller gave up.
    EXPECT_FALSE(other->deliver(answer_for(second, 2)));
    waits_first.reset();
    EXPECT_FALSE(other->deliver(answer_for(first, 0)));
}

TEST(RegionClients, AStalledEntryIsPublishedOnItsProducersBehalfOnlyWhenThatProducerIsGone) {
    TestRegion region("stall");
    auto mapping = attach(region);
    auto producer = RegionClients::join(*mapping).value();
    auto waiter = RegionClients::join(*mapping).value();
    producer->reserving();
    const uint64_t slot = region.requests().reserve().value();
    producer->reserved(slot);
    EXPECT_EQ(waiter->claim_stalled(slot), RegionClients::Stall::Wait);  // slow, not dead
    producer.reset();
    auto another = RegionClients::join(*mapping).value();  // never takes the dead seat's intent
    EXPECT_EQ(waiter->claim_stalled(slot), RegionClients::Stall::PublishEmpty);
    EXPECT_EQ(another->claim_stalled(slot), RegionClients::Stall::Wait);  // claimed once only
    // An entry its living producer gave up on is published as it is, once.
    another->reserving();
    another->reserved(slot + 1);
    another->abandoned(slot + 1);
    EXPECT_EQ(waiter->claim_stalled(slot + 1), RegionClients::Stall::PublishAsIs);
    EXPECT_EQ(waiter->claim_stalled(slot + 1), RegionClients::Stall::Wait);
}

TEST(RegionClients, PoolsOfDifferentClientsNeverLeaseTheSameSlot) {
    TestRegion region("leases");
    auto mapping = attach(region);
    auto first = RegionClients::join(*mapping).value();
    auto second = RegionClients::join(*mapping).value();
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
