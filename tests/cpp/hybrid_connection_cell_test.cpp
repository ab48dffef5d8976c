#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "hybrid/connection_cell.hpp"

namespace zelto::hybrid {
namespace {

// Gives the other coroutines of the context a turn.
asio::awaitable<void> yield_turns(int turns) {
    for (int i = 0; i < turns; ++i) co_await asio::post(asio::use_awaitable);
}

struct Recorder {
    std::vector<int> order;
    int holders = 0;
    int most_holders = 0;
};

asio::awaitable<void> hold(std::shared_ptr<ConnectionCell> cell, Recorder& rec, int id,
                           std::function<void()> while_holding = {}) {
    auto guard = co_await cell->lock();
    rec.order.push_back(id);
    rec.most_holders = std::max(rec.most_holders, ++rec.holders);
    co_await yield_turns(3);
    if (while_holding) while_holding();
    --rec.holders;
}

TEST(HybridConnectionCell, WaitersGetThePermitInArrivalOrderWithoutOvertaking) {
    asio::io_context io;
    auto cell = std::make_shared<ConnectionCell>();
    Recorder rec;
    // The first holder starts a late arrival just before it releases: the permit must still go
    // to the three that were already queued first.
    asio::co_spawn(io,
                   hold(cell, rec, 0,
                        [&] {
                            EXPECT_EQ(cell->waiting(), 3u);
                            asio::co_spawn(io, hold(cell, rec, 4), asio::detached);
                        }),
                   asio::detached);
    for (int id = 1; id <= 3; ++id) asio::co_spawn(io, hold(cell, rec, id), asio::detached);
    io.run();
    EXPECT_EQ(rec.order, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(rec.most_holders, 1);
    EXPECT_FALSE(cell->locked());
    EXPECT_EQ(cell->waiting(), 0u);
}

TEST(HybridConnectionCell, OneHolderAtATimeAcrossThreads) {
    asio::io_context io;
    auto cell = std::make_shared<ConnectionCell>();
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};
    int total = 0;  // guarded by the cell alone
    auto worker = [&]() -> asio::awaitable<void> {
        for (int i = 0; i < 200; ++i) {
            auto guard = co_await cell->lock();
            if (holders.fetch_add(1) != 0) overlaps.fetch_add(1);
            ++total;
            co_await asio::post(asio::use_awaitable);
            holders.fetch_sub(1);
        }
    };
    for (int i = 0; i < 8; ++i) asio::co_spawn(io, worker(), asio::detached);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&] { io.run(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(total, 8 * 200);
    EXPECT_FALSE(cell->locked());
}

}  // namespace
}  // namespace zelto::hybrid
