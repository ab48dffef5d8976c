// The platform's stream endpoints on the system at hand: local endpoints (socket files on POSIX
// systems, named pipes on Windows) and TCP, through the calls the clients and the server make.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/nonblocking_socket.hpp"
#include "platform/os_error.hpp"
#include "platform/socket.hpp"
#include "support/stream_pair.hpp"

namespace zelto::platform {
namespace {

using namespace std::chrono_literals;

std::span<const uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

using test_streams::unique_local_endpoint;

// A connection of either kind, closed at the end of the test.
struct Endpoints : test_streams::StreamEnds {
    explicit Endpoints(bool tcp, Blocking blocking = Blocking::Yes)
        : StreamEnds(tcp ? test_streams::tcp_pair() : test_streams::local_pair(blocking)) {}
    ~Endpoints() {
        close_socket(client);
        close_socket(server);
    }
};

std::string receive_exactly(StreamHandle stream, size_t n) {
    std::string got(n, '\0');
    size_t done = 0;
    while (done < n) {
        auto some = receive_some(stream, {reinterpret_cast<uint8_t*>(got.data()) + done, n - done},
                                 unbounded_wait());
        if (!some || *some == 0) break;
        done += *some;
    }
    return got.substr(0, done);
}

class StreamEndpoints : public ::testing::TestWithParam<bool> {};

TEST_P(StreamEndpoints, BytesGoBothWaysAndTheCloseIsTheEnd) {
    Endpoints pair(GetParam());
    uint8_t byte = 0;
    EXPECT_TRUE(try_peek(pair.server).not_ready());
    EXPECT_TRUE(try_receive(pair.server, {&byte, 1}).not_ready());

    const std::string head = "head", body(100'000, 'b');  // more than a pipe buffer holds
    const std::span<const uint8_t> pieces[] = {bytes_of(head), bytes_of(body)};
    std::thread sending([&] { ASSERT_TRUE(send_all(pair.client, pieces).has_value()); });
    EXPECT_EQ(receive_exactly(pair.server, head.size() + body.size()), head + body);
    sending.join();

    // A receive takes what has come, without waiting for its buffer to fill.
    ASSERT_TRUE(send_all(pair.server, bytes_of("answer")).has_value());
    uint8_t room[64];
    auto answer = receive_some(pair.client, room, unbounded_wait());
    ASSERT_TRUE(answer.has_value()) << answer.error().message;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(room), *answer), "answer");
    EXPECT_TRUE(try_peek(pair.client).not_ready());

    close_socket(std::exchange(pair.server, StreamHandle()));
    uint8_t out[8];
    auto end = receive_some(pair.client, out, unbounded_wait());
    ASSERT_TRUE(end.has_value()) << end.error().message;
    EXPECT_EQ(*end, 0u);
    EXPECT_EQ(try_peek(pair.client).bytes, 0u);
}

TEST_P(StreamEndpoints, AWaitForASilentPeerEndsAtItsDeadlineOrWhenInterrupted) {
    Endpoints pair(GetParam());
    uint8_t out[8];
    CallWait deadline;
    deadline.deadline = CallWait::Clock::now() + 120ms;
    auto timed_out = receive_some(pair.client, out, deadline);
    ASSERT_FALSE(timed_out.has_value());
    EXPECT_TRUE(timed_out.error().timed_out());

    std::atomic<int> asked{0};
    CallWait interrupted;
    interrupted.interrupted = [&] { return ++asked == 3; };
    auto stopped = receive_some(pair.client, out, interrupted);
    ASSERT_FALSE(stopped.has_value());
    EXPECT_TRUE(stopped.error().interrupted());
}

// The server stops this way: whether the receive waits already or starts after, it ends.
TEST_P(StreamEndpoints, ShuttingAStreamDownEndsAReceiveWaitingOnIt) {
    Endpoints pair(GetParam());
    std::thread receiving([&] {
        uint8_t out[8];
        auto got = receive_some(pair.server, out, unbounded_wait());
        EXPECT_TRUE(!got || *got == 0);
    });
    shut_down_stream(pair.server);
    receiving.join();
}

TEST_P(StreamEndpoints, StopAcceptingWakesAWaitingAccept) {
    auto listener =
        (GetParam() ? listen_tcp("127.0.0.1:0") : listen_local(unique_local_endpoint("stop")));
    ASSERT_TRUE(listener.has_value()) << listener.error().message;
    std::thread accepting([&] { EXPECT_FALSE(accept_connection(*listener).has_value()); });
    std::this_thread::sleep_for(20ms);  // usually already waiting; either way it must return
    stop_accepting(*listener);
    accepting.join();
    close_listener(*listener, true);
}

INSTANTIATE_TEST_SUITE_P(TcpAndLocal, StreamEndpoints, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Tcp" : "Local"; });

TEST(LocalEndpoints, AMissingEndpointIsNotFoundAtOnce) {
    for (Blocking blocking : {Blocking::Yes, Blocking::No}) {
        auto missing = connect_local(unique_local_endpoint("missing"), blocking);
        ASSERT_FALSE(missing.has_value());
        EXPECT_EQ(missing.error().category, IoCategory::NotFound);
        EXPECT_EQ(missing.error().message, os_error(missing.error().os_errno).message);
        EXPECT_TRUE(missing.error().message.ends_with(" (os error 2)"));
    }
}

TEST(LocalEndpoints, TheEventLoopsOpeningCarriesBytesToo) {
    Endpoints pair(false, Blocking::No);
    ASSERT_EQ(try_send(pair.client, bytes_of("ping")).bytes, 4u);
    EXPECT_EQ(receive_exactly(pair.server, 4), "ping");
}

}  // namespace
}  // namespace zelto::platform
