#include "platform/shared_memory.hpp"

#include <gtest/gtest.h>

#include "shm_test_region.hpp"

namespace zelto::platform {
namespace {

using shm::testing::unique_region_name;

constexpr uint64_t kByte = uint64_t{1} << 40;  // past the object's end, as the clients lock

TEST(SharedMappingLocks, ALockBelongsToOneOpenOfTheObject) {
    const std::string name = unique_region_name("locks");
    auto holder = SharedMapping::create(name, 4096, true).value();
    auto other = SharedMapping::open(name).value();
    ASSERT_TRUE(holder.try_lock_byte(kByte));
    EXPECT_FALSE(other.try_lock_byte(kByte));
    EXPECT_TRUE(other.byte_locked_elsewhere(kByte));
    EXPECT_FALSE(holder.byte_locked_elsewhere(kByte));
    EXPECT_FALSE(other.try_lock_byte(kByte)) << "the holder's own query let its lock go";
    // Asking about a free byte leaves it free.
    EXPECT_FALSE(holder.byte_locked_elsewhere(kByte + 1));
    EXPECT_TRUE(other.try_lock_byte(kByte + 1));
    holder.unlock_byte(kByte);
    EXPECT_TRUE(other.try_lock_byte(kByte));
    // Closing an open releases its locks.
    other = SharedMapping::open(name).value();
    EXPECT_TRUE(holder.try_lock_byte(kByte + 1));
    SharedMapping::unlink(name);
}

TEST(SharedMappingNames, ANewObjectUnderAnOldNameLeavesTheOldMappingsAlone) {
    const std::string name = unique_region_name("renamed");
    auto old = SharedMapping::create(name, 8192, true).value();
    auto old_client = SharedMapping::open(name).value();
    old.base()[100] = 7;
    auto fresh = SharedMapping::create(name, 8192, true);
    ASSERT_TRUE(fresh.has_value()) << fresh.error().message();
    EXPECT_EQ(fresh->base()[100], 0);
    EXPECT_EQ(old_client.base()[100], 7);
    EXPECT_NE(fresh->identity(), old.identity());
    EXPECT_EQ(SharedMapping::identity_of(name), fresh->identity());
    EXPECT_EQ(SharedMapping::open(name).value().identity(), fresh->identity());

    ASSERT_TRUE(SharedMapping::unlink(name));
    EXPECT_EQ(SharedMapping::identity_of(name), 0u);
    auto side = SharedMapping::open_or_create(name, 4096, 0600).value();
    EXPECT_EQ(side.base()[100], 0) << "made anew, not the unlinked object";
    EXPECT_NE(side.identity(), fresh->identity());
    SharedMapping::unlink(name);
}

}  // namespace
}  // namespace zelto::platform
