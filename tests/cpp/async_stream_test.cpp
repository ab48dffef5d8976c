// The connection stream of the hybrid client, on the system's own local endpoint (a Unix socket,
// or a named pipe on Windows): what attempts and transfers report, which the exchange's texts
// and its stops rely on.
#include "platform/async_stream.hpp"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/use_future.hpp>

#include "platform/socket.hpp"
#include "support/stream_pair.hpp"
#include "transport/connection.hpp"

namespace zelto::platform {
namespace {

using Outcome = Transfer::Outcome;

std::span<const uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A client stream connected to a server end that the test drives with blocking calls, and an
// event loop serviced by a thread of its own.
class AsyncStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener_ = listen_local(test_streams::unique_local_endpoint("async-stream")).value();
        stream_.emplace(connect_local(listener_.where, Blocking::No).value());
        server_.emplace(accept_connection(listener_).value());
        loop_ = std::thread([this] { io_.run(); });
    }
    void TearDown() override {
        keep_running_.reset();
        io_.stop();
        loop_.join();
        stream_.reset();
        close_listener(listener_, true);
    }

    Transfer read_attempt_until_something(std::span<uint8_t> out) {
        for (;;) {
            Transfer attempt = stream_->try_read(out);
            if (attempt.outcome != Outcome::NotReady) return attempt;
            yield_processor();
        }
    }
    std::future<Transfer> read_through_loop(std::span<uint8_t> out) {
        return asio::co_spawn(io_, stream_->read_some(io_, out), asio::use_future);
    }
    // As the exchange writes: an attempt, and the loop for what the attempt could not move (all
    // of it on Windows, where writes are not attempted).
    Transfer write(const std::string& text) {
        Transfer attempt = stream_->try_write(bytes_of(text));
        if (attempt.outcome != Outcome::NotReady) return attempt;
        return asio::co_spawn(io_, stream_->write_some(io_, bytes_of(text)), asio::use_future)
            .get();
    }

    Listener listener_;
    std::optional<AsyncStream> stream_;
    std::optional<Connection> server_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> keep_running_{io_.get_executor()};
    std::thread loop_;
};

TEST_F(AsyncStreamTest, AttemptsAndTransfersMoveBytesBothWays) {
    std::array<uint8_t, 8> in{};
    EXPECT_EQ(stream_->try_read(in).outcome, Outcome::NotReady);
    ASSERT_TRUE(server_->write_all(bytes_of("ping")));
    Transfer attempt = read_attempt_until_something(in);
    ASSERT_EQ(attempt.outcome, Outcome::Moved);
    EXPECT_EQ(std::string(in.begin(), in.begin() + attempt.bytes), "ping");

    Transfer put = write("pong");
    ASSERT_EQ(put.outcome, Outcome::Moved);
    EXPECT_EQ(put.bytes, 4u);
    std::array<uint8_t, 4> got{};
    ASSERT_TRUE(server_->read_exact(got));
    EXPECT_EQ(std::string(got.begin(), got.end()), "pong");

    auto waiting = read_through_loop(in);
    ASSERT_TRUE(server_->write_all(bytes_of("late")));
    Transfer late = waiting.get();
    ASSERT_EQ(late.outcome, Outcome::Moved);
    EXPECT_EQ(std::string(in.begin(), in.begin() + late.bytes), "late");

    // The transfer runs on the loop's thread after this statement: its bytes must outlive it.
    const std::string done = "done";
    auto sent = asio::co_spawn(io_, stream_->write_some(io_, bytes_of(done)), asio::use_future);
    EXPECT_EQ(sent.get().bytes, 4u);
    ASSERT_TRUE(server_->read_exact(got));
    EXPECT_EQ(std::string(got.begin(), got.end()), "done");
}

// The server going away, with the client's bytes read or still unread, ends the stream for an
// attempt and for a transfer alike.
class AsyncStreamEndTest : public AsyncStreamTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AsyncStreamEndTest, TheServerGoingAwayEndsTheStream) {
    ASSERT_EQ(write("unanswered").outcome, Outcome::Moved);
    if (GetParam()) {
        std::array<uint8_t, 10> got{};
        ASSERT_TRUE(server_->read_exact(got));
    }
    server_.reset();
    std::array<uint8_t, 8> in{};
    EXPECT_EQ(read_attempt_until_something(in).outcome, Outcome::Ended);
    EXPECT_EQ(read_through_loop(in).get().outcome, Outcome::Ended);
}

INSTANTIATE_TEST_SUITE_P(ReadOrUnread, AsyncStreamEndTest, ::testing::Bool());

// A stop shuts the stream down from the calling thread while a worker waits on it: the transfer
// completes without bytes, and the server sees the end.
TEST_F(AsyncStreamTest, ShuttingDownCompletesAWaitingTransfer) {
    std::array<uint8_t, 8> in{};
    auto waiting = read_through_loop(in);
    stream_->shut_down();
    EXPECT_NE(waiting.get().outcome, Outcome::Moved);
    std::array<uint8_t, 1> got{};
    EXPECT_FALSE(server_->read_exact(got));
}

}  // namespace
}  // namespace zelto::platform
