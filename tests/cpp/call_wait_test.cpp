// Every wait of a call goes through wait_in_slices: the order of its checks decides which of a
// deadline, a stop and an event that came in the same slice wins, and how often the stop check
// (Python's signal handlers) runs.
#include "platform/call_wait.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace zelto::platform {
namespace {

using namespace std::chrono_literals;

// A wait whose stop check counts its calls and says stop from the `stop_at`-th call on.
struct CountedStops {
    int asked = 0;
    int stop_at = 0;  // 0: never
    CallWait wait() {
        CallWait policy;
        policy.interrupted = [this] { return ++asked == stop_at; };
        return policy;
    }
};

TEST(WaitInSlices, ADeadlineEndsTheWaitButNotWhatCameInTheLastSlice) {
    CallWait passed;
    passed.deadline = CallWait::Clock::now() - 1ms;
    int slices = 0;
    auto step = [&](WaitSlice&) {
        ++slices;
        return SliceResult::Ready;
    };
    EXPECT_EQ(wait_in_slices(passed, step), WaitStop::TimedOut);
    EXPECT_EQ(slices, 0);

    // The event arrives in the slice during which the deadline passes.
    for (SliceResult found : {SliceResult::Ready, SliceResult::Done}) {
        CallWait soon;
        soon.deadline = CallWait::Clock::now() + 100ms;
        auto late = [&](WaitSlice&) {
            std::this_thread::sleep_until(*soon.deadline + 1ms);
            return found;
        };
        EXPECT_EQ(wait_in_slices(soon, late), std::nullopt);
    }

    // Nothing ever comes: the wait ends by the deadline.
    CallWait short_call;
    short_call.deadline = CallWait::Clock::now() + 5ms;
    auto nothing = [&](WaitSlice& slice) {
        std::this_thread::sleep_for(*slice.length());
        return SliceResult::NotYet;
    };
    EXPECT_EQ(wait_in_slices(short_call, nothing), WaitStop::TimedOut);
}

TEST(WaitInSlices, TheStopCheckRunsOncePerSliceAndWinsOverWhatIsNotSettled) {
    // Quiet slices, then a stop.
    CountedStops quiet{.stop_at = 3};
    int slices = 0;
    EXPECT_EQ(wait_in_slices(quiet.wait(),
                             [&](WaitSlice&) {
                                 ++slices;
                                 return SliceResult::NotYet;
                             }),
              WaitStop::Interrupted);
    EXPECT_EQ(slices, 3);
    EXPECT_EQ(quiet.asked, 3);

    // A slice that found its event Ready still ends stopped; a settled one is not asked.
    CountedStops ready{.stop_at = 1};
    EXPECT_EQ(wait_in_slices(ready.wait(), [](WaitSlice&) { return SliceResult::Ready; }),
              WaitStop::Interrupted);
    CountedStops done{.stop_at = 1};
    EXPECT_EQ(wait_in_slices(done.wait(), [](WaitSlice&) { return SliceResult::Done; }),
              std::nullopt);
    EXPECT_EQ(done.asked, 0);

    // The wait's own time limit ends it as a deadline does, without a stop check.
    CountedStops own{.stop_at = 1};
    EXPECT_EQ(wait_in_slices(own.wait(), [](WaitSlice&) { return SliceResult::TimedOut; }),
              WaitStop::TimedOut);
    EXPECT_EQ(own.asked, 0);
}

TEST(WaitInSlices, ACancelledCallStopsLikeAnInterruptedOne) {
    // Nothing can end this wait early: its slices may block without limit.
    std::optional<std::chrono::milliseconds> length = 0ms;
    EXPECT_EQ(wait_in_slices(unbounded_wait(),
                             [&](WaitSlice& slice) {
                                 length = slice.length();
                                 return SliceResult::Ready;
                             }),
              std::nullopt);
    EXPECT_EQ(length, std::nullopt);

    // A cancel flag makes the wait take slices; setting it from another thread ends the wait
    // before the interruption check is asked.
    std::atomic<bool> cancelled{false};
    CallWait wait;
    wait.cancelled = &cancelled;
    std::thread canceller([&] {
        std::this_thread::sleep_for(5ms);
        cancelled = true;
    });
    EXPECT_EQ(wait_in_slices(wait,
                             [&](WaitSlice& slice) {
                                 length = slice.length();
                                 std::this_thread::sleep_for(1ms);
                                 return SliceResult::NotYet;
                             }),
              WaitStop::Interrupted);
    canceller.join();
    EXPECT_EQ(length, kWaitSlice);

    int asked = 0;
    wait.interrupted = [&] { return ++asked, false; };
    EXPECT_EQ(wait_in_slices(wait, [](WaitSlice&) { return SliceResult::NotYet; }),
              WaitStop::Interrupted);
    EXPECT_EQ(asked, 0);
}

}  // namespace
}  // namespace zelto::platform
