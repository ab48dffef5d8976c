// The parts of the exchange that a quick server never reaches: waits that park the caller on
// the runtime. A spin time of zero makes every wait park.
#include "hybrid/hybrid_exchange.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hybrid/io_runtime.hpp"
#include "platform/cpu.hpp"
#include "platform/os_error.hpp"

namespace zelto::hybrid {
namespace {

using platform::WaitStop;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

bool read_all(int fd, uint8_t* out, size_t n) {
    while (n > 0) {
        ssize_t got = ::read(fd, out, n);
        if (got <= 0) return false;
        out += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool write_all(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t put = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
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

// A cell already holding one end of a socket pair; the test plays the server on the other.
class HybridExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
        auto guard = cell_->try_lock();
        ASSERT_TRUE(guard);
        (*guard)->emplace(platform::StreamHandle(fds[0]));
        client_fd_ = fds[0];
        server_fd_ = fds[1];
        auto runtime = IoRuntime::create();
        ASSERT_TRUE(runtime);
        runtime_ = std::move(*runtime);
    }
    void TearDown() override {
        if (server_.joinable()) server_.join();
        if (server_fd_ >= 0) ::close(server_fd_);
    }

    // Starts the exchange on the caller, without spinning, and lets the runtime finish it.
    ExchangeResult run(const HybridRequest& request) {
        HybridExchange exchange(cell_, "unused", request);
        if (auto quick = exchange.try_complete(nanoseconds(0))) return std::move(*quick);
        auto finished = runtime_->run_to_completion(HybridExchange::finish(exchange));
        EXPECT_TRUE(finished.has_value());
        return finished
                   ? std::move(*finished)
                   : ExchangeResult(std::unexpect, Error{ErrorKind::Runtime, finished.error()});
    }

    // The server goes away while the caller is parked: after reading the frame (end of
    // stream) or with the frame still unread (reset).
    void expect_early_eof_when_server_closes(bool after_reading) {
        auto request = request_for(4);
        HybridExchange exchange(cell_, "unused", request);
        ASSERT_FALSE(exchange.try_complete(nanoseconds(0)));
        if (after_reading) expect_frame(request);
        ::close(std::exchange(server_fd_, -1));
        auto finished = runtime_->run_to_completion(HybridExchange::finish(exchange));
        ASSERT_TRUE(finished.has_value());
        ASSERT_FALSE(finished->has_value());
        EXPECT_EQ(finished->error().kind, ErrorKind::Exchange);
        EXPECT_EQ(finished->error().message, "early eof");
    }

    // Reads one request frame on the server side and checks it.
    void expect_frame(const HybridRequest& request) {
        std::array<uint8_t, kRequestFrameSize> frame{};
        ASSERT_TRUE(read_all(server_fd_, frame.data(), frame.size()));
        EXPECT_EQ(frame, encode_request_frame(request));
    }

    // Runs the parked part of `exchange` under `wait`, stopping it as the client does.
    ExchangeResult finish_under(HybridExchange& exchange, const platform::CallWait& wait) {
        auto finished = runtime_->run_to_completion(HybridExchange::finish(exchange), wait,
                                                    [&](WaitStop why) { exchange.stop(why); });
        EXPECT_TRUE(finished.has_value());
        return finished
                   ? std::move(*finished)
                   : ExchangeResult(std::unexpect, Error{ErrorKind::Runtime, finished.error()});
    }

    std::shared_ptr<ConnectionCell> cell_ = std::make_shared<ConnectionCell>();
    std::unique_ptr<IoRuntime> runtime_;
    int client_fd_ = -1;
    int server_fd_ = -1;
    std::thread server_;
};

TEST_F(HybridExchangeTest, AParkedReadIsCompletedByTheRuntime) {
    auto request = request_for(1);
    // A 300 KiB error text does not fit in the socket buffer at once: the payload arrives in
    // pieces, each after a park.
    std::vector<uint8_t> text(300 * 1024, 'e');
    server_ = std::thread([&] {
        expect_frame(request);
        EXPECT_TRUE(write_all(server_fd_, response_frame(5, text)));
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
        EXPECT_TRUE(write_all(server_fd_, response_frame(0, success_payload(0x2000, 2))));
    });
    auto next = run(request_for(2));
    ASSERT_TRUE(next.has_value()) << next.error().message;
    EXPECT_EQ(next->shm_offset, 0x2000u);
}

TEST_F(HybridExchangeTest, AParkedWriteIsCompletedByTheRuntime) {
    // Fill the socket buffer towards the server so that the frame cannot be written at once.
    std::vector<uint8_t> junk(4096, 0xAB);
    size_t filled = 0;
    for (;;) {
        ssize_t put = ::send(client_fd_, junk.data(), junk.size(), MSG_DONTWAIT);
        if (put < 0) break;
        filled += static_cast<size_t>(put);
    }
    ASSERT_EQ(errno, EAGAIN);
    auto request = request_for(3);
    HybridExchange exchange(cell_, "unused", request);
    ASSERT_FALSE(exchange.try_complete(nanoseconds(0)));
    server_ = std::thread([&] {
        std::vector<uint8_t> drained(filled);
        ASSERT_TRUE(read_all(server_fd_, drained.data(), drained.size()));
        expect_frame(request);
        EXPECT_TRUE(write_all(server_fd_, response_frame(0, success_payload(0x3000, 3))));
    });
    auto finished = runtime_->run_to_completion(HybridExchange::finish(exchange));
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
        EXPECT_TRUE(write_all(server_fd_, both));
        expect_frame(request_for(7));
        EXPECT_TRUE(write_all(server_fd_, {0, 0, 0, 0x28, 0, 0, 0}));
        expect_frame(request_for(8));
        EXPECT_TRUE(write_all(server_fd_, success_payload(0x8000, 8)));
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
        EXPECT_TRUE(write_all(server_fd_, response_frame(0, success_payload(0x5000, 5))));
    });
    auto finished = runtime_->run_to_completion(HybridExchange::finish(exchange));
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
    expect_frame(request);
    auto result = finish_under(exchange, stopping_wait(GetParam()));
    EXPECT_EQ(exchange.stopped(), GetParam());
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind,
              GetParam() == WaitStop::Interrupted ? ErrorKind::Interrupted : ErrorKind::TimedOut);
    EXPECT_FALSE(cell_->locked());
    uint8_t byte = 0;
    EXPECT_EQ(::read(server_fd_, &byte, 1), 0);

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
        EXPECT_TRUE(write_all(server_fd_, response_frame(0, success_payload(0x2000, 2))));
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
        EXPECT_TRUE(write_all(server_fd_, response_frame(0, success_payload(0x2000, 2))));
    });
    auto result = run(request_for(3));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ErrorKind::Exchange);
    EXPECT_EQ(result.error().message, "Response id 2 does not match request id 3");
    server_.join();
    uint8_t byte = 0;
    EXPECT_EQ(::read(server_fd_, &byte, 1), 0);
}

}  // namespace
}  // namespace zelto::hybrid
