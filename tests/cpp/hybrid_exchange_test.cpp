// The parts of the exchange that a quick server never reaches: waits that park the caller on
// the runtime. A spin time of zero makes every wait park.
#include "hybrid/hybrid_exchange.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hybrid/io_runtime.hpp"
#include "platform/cpu.hpp"
#include "platform/nonblocking_socket.hpp"
#include "platform/os_error.hpp"
#include "platform/socket.hpp"
#include "support/stream_pair.hpp"

namespace zelto::hybrid {
namespace {

using platform::WaitStop;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

using test_streams::receive_exactly;

bool write_all(platform::StreamHandle stream, const std::vector<uint8_t>& bytes) {
    return platform::send_all(stream, bytes).has_value();
}

std::vector<uint8_t> response_frame(uint32_t status, std::vector<uint8_t> payload) {
    auto header = ResponseHeader{status, static_cast<uint32_t>(payload.size())}.encode();
    payload.insert(payload.begin(), header.begin(), header.end());
    return payload;
}

std::vector<uint8_t> success_payload(uint64_t offset, uint64_t request_id) {
    HybridResponse response;
    response.metadata.request_id = request_id;
    response.shm_offset = offset;
    auto bytes = response.encode();
    return {bytes.begin(), bytes.end()};
}

HybridRequest request_for(uint64_t id) {
    return HybridRequest{{id, 0, 0, 0, {}, 7}, 4096, 96};
}

// A cell already holding the client end of a local connection, opened as the event loop opens
// its own; the test plays the server on the other end.
class HybridExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto [client, server] = test_streams::local_pair(platform::Blocking::No);
        auto guard = cell_->try_lock();
        ASSERT_TRUE(guard);
        (*guard)->emplace(client);
        client_ = client;
        server_end_ = server;
        auto runtime = IoRuntime::create();
        ASSERT_TRUE(runtime);
        runtime_ = std::move(*runtime);
    }
    void TearDown() override {
        if (server_.joinable()) server_.join();
        if (server_end_.valid()) platform::close_socket(server_end_);
    }

    // Starts the exchange on the caller, without spinning, and lets the runtime finish it.
    ExchangeResult run(const HybridRequest& request) {
        HybridExchange exchange(cell_, "unused", request);
        if (auto quick = exchange.try_complete(nanoseconds(0))) return std::move(*quick);
        auto finished =
            runtime_->run_to_completion(HybridExchange::finish(exchange, runtime_->io_context()));
        EXPECT_TRUE(finished.has_value());
        return finished
                   ? std::move(*finished)
                   : ExchangeResult(std::unexpect, Error{ErrorKind::Runtime, finished.error()});
    }

    // The server goes away while the caller is parked: after reading the frame (end of
    // stream) or with the frame arrived but unread (reset). The frame may still be on its way:
    // on Windows only the runtime writes it.
    void expect_early_eof_when_server_closes(bool after_reading) {
        auto request = request_for(4);
        HybridExchange exchange(cell_, "unused", request);
        ASSERT_FALSE(exchange.try_complete(nanoseconds(0)));
        server_ = std::thread([&] {
            if (after_reading) expect_frame(request);
            while (!after_reading && platform::try_peek(server_end_).not_ready())
                platform::yield_processor();
            platform::close_socket(std::exchange(server_end_, platform::StreamHandle()));
        });
        auto finished =
            runtime_->run_to_completion(HybridExchange::finish(exchange, runtime_->io_context()));
        ASSERT_TRUE(finished.has_value());
        ASSERT_FALSE(finished->has_value());
        EXPECT_EQ(finished->error().kind, ErrorKind::Exchange);
        EXPECT_EQ(finished->error().message, "early eof");
    }

    // Reads one request frame on the server side and checks it.
    void expect_frame(const HybridRequest& request) {
        std::array<uint8_t, kRequestFrameSize> frame{};
        ASSERT_TRUE(receive_exactly(server_end_, frame));
        EXPECT_EQ(frame, encode_request_frame(request));
    }

    // Runs the parked part of `exchange` under `wait`, stopping it as the client does.
    ExchangeResult finish_under(HybridExchange& exchange, const platform::CallWait& wait) {
        auto finished =
            runtime_->run_to_completion(HybridExchange::finish(exchange, runtime_->io_context()),
                                        wait, [&](WaitStop why) { exchange.stop(why); });
        EXPECT_TRUE(finished.has_value());
        return finished
                   ? std::move(*finished)
                   : ExchangeResult(std::unexpect, Error{ErrorKind::Runtime, finished.error()});
    }

    std::shared_ptr<ConnectionCell> cell_ = std::make_shared<ConnectionCell>();
    std::unique_ptr<IoRuntime> runtime_;
    platform::StreamHandle client_, server_end_;
    std::thread server_;
};

TEST_F(HybridExchangeTest, AParkedReadIsCompletedByTheRuntime) {
    auto request = request_for(1);
    // A 300 KiB error text does not fit in the socket buffer at once: the payload arrives in
    // pieces, each after a park.
    std::vector<uint8_t> text(300 * 1024, 'e');
    server_ = std::thread([&] {
        expect_frame(request);
        EXPECT_TRUE(write_all(server_end_, response_frame(5, text)));
    });
    auto result = run(request);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::Server);
    EXPECT_EQ(result.error().message, std::string(text.begin(), text.end()));
    EXPECT_FALSE(cell_->locked());

    // The connection stayed in the cell and is in step for the next exchange.
    server_.join();
    server_ = std::thread([&] {
        expect_frame(request_for(2));
        EXPECT_TRUE(write_all(server_end_, response_frame(0, success_payload(0x2000, 2))));
    });
    auto next = run(request_for(2));
    ASSERT_TRUE(next.has_value()) << next.error().message;
    EXPECT_EQ(next->shm_offset, 0x2000u);
}

TEST_F(HybridExchangeTest, AParkedWriteIsCompletedByTheRuntime) {
    // A pipe cannot be filled without waiting for its reader: a write that finds it full stays
    // queued in it. On Windows every write of the exchange goes through the runtime anyway.
    if (platform::kNamedPipes) GTEST_SKIP() << "a named pipe cannot be filled without a reader";
    // Fill the socket buffer towards the server so that the frame cannot be written at once.
    std::vector<uint8_t> junk(4096, 0xAB);
    size_t filled = 0;
    for (;;) {
        auto put = platform::try_send(client_, junk);
        if (put.error != 0) {
            ASSERT_TRUE(put.not_ready());
            break;
        }
        filled += put.bytes;
    }
    auto request = request_for(3);
    HybridExchange exchange(cell_, "unused", request);
    ASSERT_FALSE(exchange.try_complete(nanoseconds(0)));
    server_ = std::thread([&] {
        std::vector<uint8_t> drained(filled);
        ASSERT_TRUE(receive_exactly(server_end_, drained));
        expect_frame(request);
        EXPECT_TRUE(write_all(server_end_, response_frame(0, success_payload(0x3000, 3))));
    });
    auto finished =
        runtime_->run_to_completion(HybridExchange::finish(exchange, runtime_->io_context()));
    ASSERT_TRUE(finished.has_value());
    ASSERT_TRUE(finished->has_value()) << finished->error().message;
    EXPECT_EQ((*finished)->shm_offset, 0x3000u);
}

TEST_F(HybridExchangeTest, ServerClosingAfterReadingTheFrameIsEarlyEof) {
    expect_early_eof_when_server_closes(true);
}

TEST_F(HybridExchangeTest, ServerClosingWithTheFrameUnreadIsEarlyEof) {
    expect_early_eof_when_server_closes(false);
}

// Bytes a server sends past the end of a frame are the start of the next response, as if every
// read had asked for exactly the frame's bytes.
TEST_F(HybridExchangeTest, BytesPastTheEndOfAFrameBelongToTheNextResponse) {
    auto first = response_frame(9, {'b', 'a', 'd'});
    auto second = response_frame(0, success_payload(0x7000, 7));
    auto both = first;
    both.insert(both.end(), second.begin(), second.end());
    both.push_back(0x00);  // and the first byte of a third
    server_ = std::thread([&] {
        expect_frame(request_for(6));
        EXPECT_TRUE(write_all(server_end_, both));
        expect_frame(request_for(7));
        EXPECT_TRUE(write_all(server_end_, {0, 0, 0, 0x28, 0, 0, 0}));
        expect_frame(request_for(8));
        EXPECT_TRUE(write_all(server_end_, success_payload(0x8000, 8)));
    });
    auto bad = run(request_for(6));
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(bad.error().message, "bad");
    auto early = run(request_for(7));
    ASSERT_TRUE(early.has_value()) << early.error().message;
    EXPECT_EQ(early->shm_offset, 0x7000u);
    auto last = run(request_for(8));
    ASSERT_TRUE(last.has_value()) << last.error().message;
    EXPECT_EQ(last->shm_offset, 0x8000u);
}

TEST_F(HybridExchangeTest, AnExchangeWaitsInLineForTheLockHeldElsewhere) {
    auto held = cell_->try_lock();
    ASSERT_TRUE(held);
    auto request = request_for(5);
    HybridExchange exchange(cell_, "unused", request);
    ASSERT_FALSE(exchange.try_complete(nanoseconds(0)));  // nothing sent without the lock
    server_ = std::thread([&] {
        // Release only once the exchange waits in the queue, from another thread.
        while (cell_->waiting() == 0) platform::yield_processor();
        held.reset();
        expect_frame(request);
        EXPECT_TRUE(write_all(server_end_, response_frame(0, success_payload(0x5000, 5))));
    });
    auto finished =
        runtime_->run_to_completion(HybridExchange::finish(exchange, runtime_->io_context()));
    ASSERT_TRUE(finished.has_value());
    ASSERT_TRUE(finished->has_value()) << finished->error().message;
    EXPECT_EQ((*finished)->shm_offset, 0x5000u);
    EXPECT_FALSE(cell_->locked());
}

// A wait told to end: the interruption check says so on its second look, or the deadline passes.
platform::CallWait stopping_wait(WaitStop why) {
    platform::CallWait wait;
    if (why == WaitStop::Interrupted) {
        wait.interrupted = [looks = 0]() mutable { return ++looks == 2; };
    } else {
        wait.deadline = platform::CallWait::Clock::now() + milliseconds(100);
    }
    return wait;
}

class HybridExchangeStopTest : public HybridExchangeTest,
                               public ::testing::WithParamInterface<WaitStop> {};

// A server that reads the request and never answers: the stop ends the parked read, the server
// sees the end of the stream, and the connection never carries another request.
TEST_P(HybridExchangeStopTest, AStoppedExchangeEndsAndBreaksTheConnection) {
    auto request = request_for(1);
    HybridExchange exchange(cell_, "unused", request);
    ASSERT_FALSE(exchange.try_complete(nanoseconds(0)));
    // The frame may still be on its way (on Windows only the runtime writes it): the caller is
    // told to stop once the server has it.
    std::atomic<bool> frame_read{false};
    server_ = std::thread([&] {
        expect_frame(request);
        frame_read = true;
    });
    platform::CallWait wait = stopping_wait(GetParam());
    if (wait.interrupted) {
        wait.interrupted = [&, stop = wait.interrupted] { return frame_read && stop(); };
    }
    auto result = finish_under(exchange, wait);
    server_.join();
    EXPECT_EQ(exchange.stopped(), GetParam());
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind,
              GetParam() == WaitStop::Interrupted ? ErrorKind::Interrupted : ErrorKind::TimedOut);
    EXPECT_FALSE(cell_->locked());
    uint8_t byte = 0;
    EXPECT_EQ(platform::receive_some(server_end_, {&byte, 1}, platform::unbounded_wait()), 0u);

    auto later = run(request_for(2));
    ASSERT_FALSE(later.has_value());
    EXPECT_EQ(later.error().kind, ErrorKind::Exchange);
    EXPECT_EQ(later.error().message, platform::broken_pipe_error().message);
}

// Stopped while queued for the lock: the request leaves the queue, and neither the connection
// nor the runtime is the worse for it.
TEST_P(HybridExchangeStopTest, AStopWithdrawsAQueuedLockRequest) {
    auto held = cell_->try_lock();
    ASSERT_TRUE(held);
    {
        HybridExchange exchange(cell_, "unused", request_for(1));
        ASSERT_FALSE(exchange.try_complete(nanoseconds(0)));
        auto result = finish_under(exchange, stopping_wait(GetParam()));
        EXPECT_EQ(exchange.stopped(), GetParam());
        EXPECT_FALSE(result.has_value());
    }
    EXPECT_EQ(cell_->waiting(), 0u);
    held.reset();
    server_ = std::thread([&] {
        expect_frame(request_for(2));
        EXPECT_TRUE(write_all(server_end_, response_frame(0, success_payload(0x2000, 2))));
    });
    auto next = run(request_for(2));
    ASSERT_TRUE(next.has_value()) << next.error().message;
    EXPECT_EQ(next->shm_offset, 0x2000u);
}

INSTANTIATE_TEST_SUITE_P(Stops, HybridExchangeStopTest,
                         ::testing::Values(WaitStop::Interrupted, WaitStop::TimedOut));

// An answer to another request leaves this request's answer possibly still to come.
TEST_F(HybridExchangeTest, AnAnswerToAnotherRequestBreaksTheConnection) {
    server_ = std::thread([&] {
        expect_frame(request_for(3));
        EXPECT_TRUE(write_all(server_end_, response_frame(0, success_payload(0x2000, 2))));
    });
    auto result = run(request_for(3));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::Exchange);
    EXPECT_EQ(result.error().message, "Response id 2 does not match request id 3");
    server_.join();
    uint8_t byte = 0;
    EXPECT_EQ(platform::receive_some(server_end_, {&byte, 1}, platform::unbounded_wait()), 0u);
}

}  // namespace
}  // namespace zelto::hybrid
