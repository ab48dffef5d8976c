// The pause between shared-memory poll rounds changes the thread's timer slack as the wait goes
// on and must give the thread its own slack back, whichever stage the wait ended in; its spin
// stage grows with the size of the request, and a spin's time counts from its first retry.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/prctl.h>
#endif

#include <chrono>
#include <thread>

#include "platform/clock.hpp"
#include "platform/cpu.hpp"
#include "platform/wait_policy.hpp"

namespace zelto::platform {
namespace {

using namespace std::chrono_literals;

#if !defined(_WIN32)  // timer slack is a property of Linux threads
// Gives the test thread a recognisable slack and puts the old one back afterwards.
class MicroWaitSlack : public testing::Test {
protected:
    static constexpr int kOwnSlack = 123457;
    void SetUp() override {
        previous_ = prctl(PR_GET_TIMERSLACK);
        ASSERT_EQ(prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(kOwnSlack)), 0);
    }
    void TearDown() override { prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(previous_)); }
    static int slack() { return prctl(PR_GET_TIMERSLACK); }

private:
    int previous_ = 0;
};

TEST_F(MicroWaitSlack, SpinningLeavesTheSlackAlone) {
    {
        MicroWait wait(1h, 1h);
        wait.pause();
        EXPECT_EQ(slack(), kOwnSlack);
    }
    EXPECT_EQ(slack(), kOwnSlack);
}

TEST_F(MicroWaitSlack, PreciseThenRelaxedThenSlowSleepsThenRestored) {
    {
        MicroWait wait(0ns, 2ms, 3ms);
        const auto start = monotonic_now();  // the stages end at most this late
        wait.pause();
        EXPECT_EQ(slack(), 1);  // precise 1 us sleeps
        while (monotonic_now() < start + 2ms) wait.pause();
        wait.pause();
        if (monotonic_now() < start + 4ms) {  // well inside the relaxed stage
            EXPECT_EQ(slack(), std::chrono::nanoseconds(MicroWait::kRelaxedSlack).count());
        }
        while (monotonic_now() < start + 5ms) wait.pause();
        wait.pause();
        EXPECT_EQ(slack(), std::chrono::nanoseconds(MicroWait::kSlowSlack).count());
    }
    EXPECT_EQ(slack(), kOwnSlack);
}

TEST_F(MicroWaitSlack, EndingInThePreciseStageRestores) {
    {
        MicroWait wait(0ns, 1h);
        wait.pause();
        EXPECT_EQ(slack(), 1);
    }
    EXPECT_EQ(slack(), kOwnSlack);
}
#endif

struct PayloadSpinCase {
    std::chrono::nanoseconds base;
    uint64_t bytes;
    std::chrono::nanoseconds expected;
};

class PayloadSpin : public testing::TestWithParam<PayloadSpinCase> {};

// The spin grows by 1 ns per byte and never past 20 ms, whatever size a request announces.
TEST_P(PayloadSpin, GrowsWithThePayloadUpToTheCap) {
    const PayloadSpinCase& c = GetParam();
    EXPECT_EQ(spin_for_payload(c.base, c.bytes), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PayloadSpin,
                         testing::Values(PayloadSpinCase{50us, 0, 50us},
                                         PayloadSpinCase{50us, 1 << 20, 50us + 1048576ns},
                                         PayloadSpinCase{50us, 20'000'000 - 50'000, 20ms},
                                         PayloadSpinCase{50us, ~uint64_t{0}, 20ms},
                                         PayloadSpinCase{1s, 1 << 20, 1s}));

// A spin budget counts from its first retry, not from its creation: work done before anything
// had to be waited for does not eat into the wait.
TEST(SpinBudgetTest, CountsFromTheFirstRetry) {
    SpinBudget none(0ns);
    EXPECT_FALSE(none.again());

    SpinBudget budget(20ms);
    std::this_thread::sleep_for(30ms);  // longer than the budget, before the first retry
    EXPECT_TRUE(budget.again());
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(budget.again());
}

}  // namespace
}  // namespace zelto::platform
