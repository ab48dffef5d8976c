// Sockets, connections and the connection pool, against real sockets in this process.
#include "transport/connection.hpp"

#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/nonblocking_socket.hpp"
#include "platform/os_error.hpp"
#include "platform/socket.hpp"
#include "support/stream_pair.hpp"
#include "transport/socket_client.hpp"

namespace zelto {
namespace {

namespace fs = std::filesystem;
// Engine tests wait without bound: nothing interrupts them.
const platform::CallWait& kNoStop = platform::unbounded_wait();

using test_streams::unique_local_endpoint;

std::pair<Connection, Connection> connected_pair() {
    auto [client, server] = test_streams::local_pair();
    return {Connection(client), Connection(server)};
}

std::span<const uint8_t> bytes_of(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

Endpoint pipe_endpoint(const std::string& path) {
    return Endpoint{Endpoint::Kind::Pipe, path};
}

TEST(ConnectionIo, ReadExactReportsEndOfStreamMidBuffer) {
    auto [client, server] = connected_pair();
    ASSERT_TRUE(server.write_all(bytes_of("abcd")));
    server = Connection();
    std::vector<uint8_t> out(8);
    auto read = client.read_exact(out);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().message, "failed to fill whole buffer");
}

// A read that spins first must end exactly like the blocking one: whether the bytes come
// during the spin, in pieces on both sides of it, or the stream ends half way.
struct SpinningRead {
    std::chrono::microseconds spin;
    std::chrono::milliseconds second_piece_after;
    bool close_after_first_piece;
};

class ConnectionSpinningRead : public ::testing::TestWithParam<SpinningRead> {};

TEST_P(ConnectionSpinningRead, EndsLikeTheBlockingRead) {
    const SpinningRead param = GetParam();
    auto [client, server] = connected_pair();
    std::thread writer([&server, param] {
        ASSERT_TRUE(server.write_all(bytes_of("abc")));
        std::this_thread::sleep_for(param.second_piece_after);
        if (param.close_after_first_piece) {
            server = Connection();
        } else {
            ASSERT_TRUE(server.write_all(bytes_of("defgh")));
        }
    });
    std::vector<uint8_t> out(8);
    auto read = client.read_exact(out, param.spin);
    writer.join();
    if (param.close_after_first_piece) {
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().message, "failed to fill whole buffer");
    } else {
        ASSERT_TRUE(read);
        EXPECT_EQ(std::string(out.begin(), out.end()), "abcdefgh");
    }
}

INSTANTIATE_TEST_SUITE_P(
    SpinAndTiming, ConnectionSpinningRead,
    ::testing::Values(
        SpinningRead{std::chrono::microseconds(0), std::chrono::milliseconds(0), false},
        SpinningRead{std::chrono::microseconds(100), std::chrono::milliseconds(0), false},
        SpinningRead{std::chrono::microseconds(100), std::chrono::milliseconds(30), false},
        SpinningRead{std::chrono::microseconds(200000), std::chrono::milliseconds(5), false},
        SpinningRead{std::chrono::microseconds(100), std::chrono::milliseconds(30), true},
        SpinningRead{std::chrono::microseconds(200000), std::chrono::milliseconds(5), true}));

// Whether the stream itself holds no unread bytes (they were all taken into the connection).
bool socket_drained(const Connection& connection) {
    return platform::try_peek(connection.stream()).not_ready();
}

// Bytes taken ahead by a short read begin the next read, whichever kind it is, so a frame
// read in one receive and a frame read in pieces see the same stream.
TEST(ConnectionIo, BytesReadAheadBeginTheNextRead) {
    auto [client, server] = connected_pair();
    std::string stream = "HEADpayloadNEXT";
    std::string tail(3 * Connection::kReadAhead, 'x');
    for (size_t i = 0; i < tail.size(); ++i) tail[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(server.write_all(bytes_of(stream + tail)));

    std::vector<uint8_t> head(4);
    ASSERT_TRUE(client.read_exact(head, std::chrono::microseconds(100)));
    EXPECT_EQ(std::string(head.begin(), head.end()), "HEAD");
    auto payload = client.read_payload(7, std::chrono::microseconds(100));
    ASSERT_TRUE(payload);
    EXPECT_EQ(std::string(payload->begin(), payload->end()), "payload");
    std::vector<uint8_t> next(4);
    ASSERT_TRUE(client.read_exact(next));
    EXPECT_EQ(std::string(next.begin(), next.end()), "NEXT");
    // A long read continues from the buffered bytes straight into its own buffer.
    std::vector<uint8_t> rest(tail.size());
    ASSERT_TRUE(client.read_exact(rest));
    EXPECT_EQ(std::string(rest.begin(), rest.end()), tail);
    // Moving the connection moves what it holds.
    ASSERT_TRUE(server.write_all(bytes_of("ab")));
    std::vector<uint8_t> one(1);
    ASSERT_TRUE(client.read_exact(one));
    EXPECT_TRUE(socket_drained(client));
    Connection moved = std::move(client);
    ASSERT_TRUE(moved.read_exact(one));
    EXPECT_EQ(one[0], 'b');
}

// A gathering write larger than the socket can hold completes in order whether it spins while
// the socket is full, blocks, or does one and then the other because the reader stalls.
class ConnectionSpinningWrite
    : public ::testing::TestWithParam<
          std::tuple<std::chrono::microseconds, std::chrono::milliseconds>> {};

TEST_P(ConnectionSpinningWrite, DeliversEveryPieceInOrder) {
    const auto [spin, reader_stall] = GetParam();
    auto [client, server] = connected_pair();
    std::vector<uint8_t> big(3 * 1024 * 1024 + 5);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + i / 251);
    const std::string head = "head", tail = "tail";
    std::vector<uint8_t> received;
    std::thread reader([&server, &received, reader_stall, total = big.size() + 8] {
        std::this_thread::sleep_for(reader_stall);
        auto payload = server.read_payload(static_cast<uint32_t>(total));
        ASSERT_TRUE(payload);
        received.assign(payload->begin(), payload->end());
    });
    const std::span<const uint8_t> pieces[] = {bytes_of(head), big, bytes_of(tail)};
    ASSERT_TRUE(client.write_all(pieces, spin));
    reader.join();
    ASSERT_EQ(received.size(), big.size() + 8);
    EXPECT_EQ(std::string(received.begin(), received.begin() + 4), head);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), received.begin() + 4));
    EXPECT_EQ(std::string(received.end() - 4, received.end()), tail);
}

INSTANTIATE_TEST_SUITE_P(SpinAndStall, ConnectionSpinningWrite,
                         ::testing::Combine(::testing::Values(std::chrono::microseconds(0),
                                                              std::chrono::microseconds(100)),
                                            ::testing::Values(std::chrono::milliseconds(0),
                                                              std::chrono::milliseconds(20))));

// Small writes are copied into one piece before they go out, larger ones are gathered by the
// kernel: on both sides of the limit, and with empty pieces, the peer reads the concatenation.
class ConnectionSmallWrite : public ::testing::TestWithParam<size_t> {};

TEST_P(ConnectionSmallWrite, DeliversTheConcatenation) {
    auto [client, server] = connected_pair();
    std::vector<uint8_t> middle(GetParam());
    for (size_t i = 0; i < middle.size(); ++i) middle[i] = static_cast<uint8_t>(i * 13 + 1);
    const std::string head = "head", tail = "tail";
    const std::span<const uint8_t> pieces[] = {bytes_of(head), {}, middle, bytes_of(tail)};
    ASSERT_TRUE(client.write_all(pieces));
    std::vector<uint8_t> received(middle.size() + 8);
    ASSERT_TRUE(server.read_exact(received));
    EXPECT_EQ(std::string(received.begin(), received.begin() + 4), "head");
    EXPECT_TRUE(std::equal(middle.begin(), middle.end(), received.begin() + 4));
    EXPECT_EQ(std::string(received.end() - 4, received.end()), "tail");
    EXPECT_TRUE(socket_drained(server));
}

INSTANTIATE_TEST_SUITE_P(AroundTheLimit, ConnectionSmallWrite,
                         ::testing::Values(0, 64, platform::kGatherInto - 8,
                                           platform::kGatherInto - 7, 5000));

TEST(ConnectionIo, WriteToVanishedPeerIsBrokenPipeNotSignal) {
    auto [client, server] = connected_pair();
    server = Connection();
    auto written = client.write_all(bytes_of("x"));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().message, test_streams::broken_pipe_text());
    EXPECT_EQ(written.error().category, IoCategory::BrokenPipe);
}

TEST(ConnectionIo, ReadPayloadAssemblesLargePayloadSentInPieces) {
    auto [client, server] = connected_pair();
    std::vector<uint8_t> sent(5 * 1024 * 1024 + 17);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 31 + i / 7);
    std::thread writer([&server, &sent] {
        std::span<const uint8_t> rest(sent);
        for (size_t piece = 1; !rest.empty(); piece = piece * 3 + 1) {
            size_t n = std::min(rest.size(), piece);
            ASSERT_TRUE(server.write_all(rest.first(n)));
            rest = rest.subspan(n);
        }
    });
    auto received = client.read_payload(static_cast<uint32_t>(sent.size()));
    writer.join();
    ASSERT_TRUE(received);
    EXPECT_TRUE(std::ranges::equal(*received, sent));
}

// A connection keeps its payload buffer from one payload to the next, grows it when a payload
// needs more and may shed it in between (kShed): every payload reads back exactly, whatever
// the buffer held before.
constexpr size_t kShed = SIZE_MAX;

class ConnectionPayloadSequence : public ::testing::TestWithParam<std::vector<size_t>> {};

TEST_P(ConnectionPayloadSequence, EachPayloadReadsBackExactly) {
    auto [client, server] = connected_pair();
    uint8_t seed = 1;
    for (size_t size : GetParam()) {
        if (size == kShed) {
            client.shed_large_buffer();
            continue;
        }
        std::vector<uint8_t> sent(size);
        for (size_t i = 0; i < size; ++i) sent[i] = static_cast<uint8_t>(i * seed + i / 509);
        ++seed;
        std::thread writer([&server, &sent] { ASSERT_TRUE(server.write_all(sent)); });
        auto received = client.read_payload(static_cast<uint32_t>(size));
        writer.join();
        ASSERT_TRUE(received);
        EXPECT_TRUE(std::ranges::equal(*received, sent)) << "payload of " << size << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ConnectionPayloadSequence,
                         ::testing::Values(std::vector<size_t>{1 << 20, 10, 1 << 20},
                                           std::vector<size_t>{10, (3 << 20) + 5, 7, kShed, 7},
                                           std::vector<size_t>{3 << 20, kShed, 5, (3 << 20) + 1},
                                           std::vector<size_t>{0, 64, 0, 4096, 4097},
                                           std::vector<size_t>{64, (33 << 20) + 3, 64}));

// A buffer moved away from is empty, not a capacity without memory: it allocates again when it
// has to grow.
TEST(ConnectionIo, MovedPayloadBufferLeavesAnEmptyOne) {
    platform::ByteBuffer first;
    first.grow(100, 0);
    first.data()[99] = 7;
    platform::ByteBuffer second = std::move(first);
    EXPECT_EQ(first.capacity(), 0u);
    first.grow(10, 0);
    first.data()[9] = 1;
    platform::ByteBuffer third;
    third = std::move(second);
    EXPECT_EQ(second.capacity(), 0u);
    ASSERT_EQ(third.capacity(), 100u);
    EXPECT_EQ(third.data()[99], 7);
}

#if !defined(_WIN32)  // the address space is capped with setrlimit
// Reads a payload announced as almost 4 GiB of which 10 bytes arrive, with the address space
// capped at 256 MiB above what the process already uses; exit status 0 when it failed cleanly.
[[noreturn]] void read_huge_announcement_with_capped_memory() {
    auto [client, server] = connected_pair();
    (void)server.write_all(bytes_of("0123456789"));
    server = Connection();
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0;
    statm >> pages;
    rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (256u << 20);
    rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
    auto received = client.read_payload(0xFFFFFFF0u);
    std::_Exit(!received && received.error().message == "failed to fill whole buffer" ? 0 : 1);
}

TEST(ConnectionIo, ReadPayloadAllocatesOnlyForBytesThatArrived) {
    EXPECT_EXIT(read_huge_announcement_with_capped_memory(), ::testing::ExitedWithCode(0), "");
}
#endif

struct BadAddress {
    std::string address;
    std::string message_prefix;
};

class TcpAddressErrors : public ::testing::TestWithParam<BadAddress> {};

TEST_P(TcpAddressErrors, AreReportedWithTheirText) {
    auto connected = platform::connect_tcp(GetParam().address);
    ASSERT_FALSE(connected);
    EXPECT_TRUE(connected.error().message.starts_with(GetParam().message_prefix))
        << connected.error().message;
}

INSTANTIATE_TEST_SUITE_P(Table, TcpAddressErrors,
                         ::testing::Values(BadAddress{"localhost", "invalid socket address"},
                                           BadAddress{"", "invalid socket address"},
                                           BadAddress{"localhost:65536", "invalid port value"},
                                           BadAddress{"localhost:-1", "invalid port value"},
                                           BadAddress{"localhost:", "invalid port value"},
                                           BadAddress{"[::1]:http", "invalid port value"},
                                           BadAddress{"name.invalid:80",
                                                      "failed to lookup address information: "},
                                           BadAddress{std::string("127.0.0.1\0junk:80", 17),
                                                      "data provided contains a nul byte"}));

TEST(TcpConnect, LiteralAndResolvedAddressesReachTheListener) {
    auto listener = platform::listen_tcp("127.0.0.1:0");
    ASSERT_TRUE(listener) << listener.error().message;
    std::string port = listener->where.substr(listener->where.rfind(':') + 1);
    for (std::string target : {"127.0.0.1:" + port, "localhost:" + port}) {
        auto connection = Connection::open(Endpoint{Endpoint::Kind::Tcp, target}, kNoStop);
        ASSERT_TRUE(connection) << target << ": " << connection.error().message;
        auto accepted = platform::accept_connection(*listener);
        ASSERT_TRUE(accepted);
        Connection server(*accepted);
        ASSERT_TRUE(connection->write_all(bytes_of("ping")));
        std::vector<uint8_t> got(4);
        ASSERT_TRUE(server.read_exact(got));
    }
    platform::close_listener(*listener, false);
    auto refused = platform::connect_tcp("127.0.0.1:" + port);
    ASSERT_FALSE(refused);
#if defined(_WIN32)
    EXPECT_EQ(refused.error().message, platform::os_error(10061).message);  // WSAECONNREFUSED
#else
    EXPECT_EQ(refused.error().message, "Connection refused (os error 111)");
#endif
}

TEST(LocalSocket, OpenErrorsCarryTheSystemText) {
    auto missing = Connection::open(pipe_endpoint(unique_local_endpoint("absent")), kNoStop);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message, platform::kNamedPipes
                                           ? platform::os_error(2).message
                                           : "No such file or directory (os error 2)");
    EXPECT_EQ(missing.error().category, IoCategory::NotFound);
    if (platform::kNamedPipes) return;  // the rest is the length limit of a socket file's path

    std::string longest = "/tmp/" + std::string(102, 'p');  // 107 bytes: fits with its NUL
    auto fits = Connection::open(pipe_endpoint(longest), kNoStop);
    ASSERT_FALSE(fits);
    EXPECT_EQ(fits.error().message, "No such file or directory (os error 2)");
    auto too_long = Connection::open(pipe_endpoint(longest + "p"), kNoStop);
    ASSERT_FALSE(too_long);
    EXPECT_EQ(too_long.error().message, "path must be shorter than 108 bytes");
}

// A socket file's backlog is made as short as it goes; a pipe has only so many instances waiting.
TEST(LocalSocket, FullBacklogFailsAtOnceInsteadOfWaiting) {
    std::string path = unique_local_endpoint("busy");
    auto listener = platform::listen_local(path);
    ASSERT_TRUE(listener);
#if !defined(_WIN32)
    ASSERT_EQ(listen(static_cast<int>(listener->handle.value), 0), 0);
#endif
    std::vector<Connection> pending;
    std::string failure;
    // More opens than the reference listener keeps pipe instances waiting.
    for (int i = 0; i < 64 && failure.empty(); ++i) {
        auto connection = Connection::open(pipe_endpoint(path), kNoStop);
        if (connection) {
            pending.push_back(std::move(*connection));
        } else {
            failure = connection.error().message;
        }
    }
    EXPECT_EQ(failure, platform::kNamedPipes ? platform::os_error(231).message  // ERROR_PIPE_BUSY
                                             : "Resource temporarily unavailable (os error 11)");
    platform::close_listener(*listener, true);
}

#if !defined(_WIN32)  // socket files
TEST(LocalSocket, ListenReplacesOnlyAStaleSocketFile) {
    std::string path = unique_local_endpoint("server");
    auto first = platform::listen_local(path);
    ASSERT_TRUE(first);
    auto while_live = platform::listen_local(path);
    ASSERT_FALSE(while_live);
    EXPECT_EQ(while_live.error().message, "Address already in use (os error 98)");
    platform::close_listener(*first, false);  // the file stays behind, as after a crash
    auto replaced = platform::listen_local(path);
    ASSERT_TRUE(replaced) << replaced.error().message;
    platform::close_listener(*replaced, true);

    std::string plain = unique_local_endpoint("plain");
    std::ofstream(plain) << "keep me";
    EXPECT_FALSE(platform::listen_local(plain));
    EXPECT_TRUE(fs::is_regular_file(plain));
    fs::remove(plain);
}
#endif

// A pool against a listener whose accepted sockets the test holds, so it can see closes.
class ConnectionPoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto listening = platform::listen_local(unique_local_endpoint("pool"));
        ASSERT_TRUE(listening);
        listener_ = *listening;
    }
    void TearDown() override { platform::close_listener(listener_, true); }

    // Acquires from the pool and returns the connection with the server end of it.
    std::pair<Connection, Connection> acquire(ConnectionPool& pool, bool expect_new) {
        auto connection = pool.acquire(pipe_endpoint(listener_.where), kNoStop);
        EXPECT_TRUE(connection);
        Connection server;
        if (expect_new) server = Connection(*platform::accept_connection(listener_));
        return {std::move(*connection), std::move(server)};
    }

    static bool closed_by_client(Connection& server) {
        uint8_t byte = 0;
        return server.read_exact({&byte, 1}).error().message == "failed to fill whole buffer";
    }

    platform::Listener listener_;
};

TEST_F(ConnectionPoolTest, SizeZeroClosesEveryReleasedConnection) {
    ConnectionPool pool(0);
    auto [client, server] = acquire(pool, true);
    pool.release(std::move(client));
    EXPECT_EQ(pool.idle_count(), 0u);
    EXPECT_TRUE(closed_by_client(server));
}

TEST_F(ConnectionPoolTest, KeepsAtMostMaxIdleAndClosesTheRest) {
    ConnectionPool pool(1);
    auto [a, server_a] = acquire(pool, true);
    auto [b, server_b] = acquire(pool, true);
    pool.release(std::move(a));
    pool.release(std::move(b));
    EXPECT_EQ(pool.idle_count(), 1u);
    EXPECT_TRUE(closed_by_client(server_b));
}

TEST_F(ConnectionPoolTest, ReusesIdleConnectionsOldestFirst) {
    ConnectionPool pool(8);
    auto [a, server_a] = acquire(pool, true);
    auto [b, server_b] = acquire(pool, true);
    platform::StreamHandle fd_a = a.stream(), fd_b = b.stream();
    pool.release(std::move(a));
    pool.release(std::move(b));
    auto [first, unused1] = acquire(pool, false);
    auto [second, unused2] = acquire(pool, false);
    EXPECT_EQ(first.stream(), fd_a);
    EXPECT_EQ(second.stream(), fd_b);
    EXPECT_EQ(pool.idle_count(), 0u);
}

}  // namespace
}  // namespace zelto
