// The asyncio clients' completion queue: one wake-up byte per empty-to-non-empty push, every
// call handed over in order, and nothing released once the loop's side has closed it.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <thread>
#include <vector>

#include "aio/completion_queue.hpp"
#include "platform/nonblocking_socket.hpp"
#include "platform/socket.hpp"
#include "support/stream_pair.hpp"

namespace zelto::aio {
namespace {

// A finished call that records its number when delivered and counts its destruction.
class Numbered final : public Completion {
public:
    Numbered(int number, std::vector<int>& delivered, int& destroyed)
        : number_(number), delivered_(delivered), destroyed_(destroyed) {}
    ~Numbered() override { ++destroyed_; }
    void deliver() override { delivered_.push_back(number_); }

private:
    int number_;
    std::vector<int>& delivered_;
    int& destroyed_;
};

// What a closed queue keeps; reachable from here, so a leak checker does not count it.
Completion* kept_for_good = nullptr;

// The wake-up bytes waiting on the loop's end.
size_t wake_ups(platform::StreamHandle loop_end) {
    size_t total = 0;
    std::array<uint8_t, 64> bytes;
    for (;;) {
        auto got = platform::try_receive(loop_end, bytes);
        if (got.error != 0 || got.bytes == 0) return total;
        total += got.bytes;
    }
}

TEST(AioCompletionQueue, WakesOncePerBatchAndHandsOverEveryCallInOrder) {
    auto ends = test_streams::local_pair(platform::Blocking::No);
    std::vector<int> delivered;
    int destroyed = 0;
    {
        CompletionQueue queue(ends.client);  // owns the writing end from here on
        constexpr int kPushers = 4, kEach = 250;
        std::vector<std::thread> pushers;
        for (int t = 0; t < kPushers; ++t) {
            pushers.emplace_back([&, t] {
                for (int i = 0; i < kEach; ++i)
                    queue.push(std::make_unique<Numbered>(t * kEach + i, delivered, destroyed));
            });
        }
        for (auto& pusher : pushers) pusher.join();
        EXPECT_EQ(wake_ups(ends.server), 1u);  // the queue was empty only before the first
        for (auto& call : queue.take_all()) call->deliver();
        ASSERT_EQ(delivered.size(), size_t{kPushers * kEach});
        // Each pusher's calls come out in the order it pushed them.
        std::array<int, kPushers> last{-1, -1, -1, -1};
        for (int number : delivered) {
            EXPECT_GT(number % kEach, last[number / kEach]);
            last[number / kEach] = number % kEach;
        }
        queue.push(std::make_unique<Numbered>(-1, delivered, destroyed));
        EXPECT_EQ(wake_ups(ends.server), 1u);  // emptied, so the next push wakes the loop again
        EXPECT_EQ(queue.close().size(), 1u);
    }
    EXPECT_EQ(destroyed, 4 * 250 + 1);
    platform::close_socket(ends.server);
}

TEST(AioCompletionQueue, AClosedQueueNeverReleasesWhatIsPushedLater) {
    auto ends = test_streams::local_pair(platform::Blocking::No);
    std::vector<int> delivered;
    int destroyed = 0;
    {
        CompletionQueue queue(ends.client);
        EXPECT_TRUE(queue.close().empty());
        // Released here it would drop Python objects off the loop's thread: it is kept for good.
        auto call = std::make_unique<Numbered>(1, delivered, destroyed);
        kept_for_good = call.get();
        queue.push(std::move(call));
        EXPECT_TRUE(queue.take_all().empty());
        EXPECT_EQ(wake_ups(ends.server), 0u);
    }
    EXPECT_EQ(destroyed, 0);
    EXPECT_TRUE(delivered.empty());
    delete kept_for_good;  // what the queue kept, freed by the test itself
    platform::close_socket(ends.server);
}

}  // namespace
}  // namespace zelto::aio
