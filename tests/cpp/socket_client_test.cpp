// The request exchange at engine level: the order of preparation and what happens to connections
// after a failed retry, against a scripted server thread on a local socket. The wire-level
// behaviour (exact bytes, retries, statuses, streams) is tested from Python against a peer
// process.
#include "transport/socket_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "platform/socket.hpp"
#include "support/stream_pair.hpp"
#include "transport/messages.hpp"

namespace zelto {
namespace {

// Engine tests wait without bound: nothing interrupts them.
const platform::CallWait& kNoStop = platform::unbounded_wait();
using Script = std::function<void(Connection&)>;

// Serves the i-th accepted connection with scripts[i]; later connections are closed at once.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
        listener_ = *platform::listen_local(test_streams::unique_local_endpoint("client"));
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        platform::stop_accepting(listener_);
        thread_.join();
        platform::close_listener(listener_, true);
    }
    ClientConfig config(uint64_t pool_size = 8) const {
        return ClientConfig{Endpoint{Endpoint::Kind::Pipe, listener_.where}, std::nullopt,
                            pool_size};
    }
    int accepted() const { return accepted_; }

private:
    void run() {
        std::vector<std::thread> workers;
        for (;;) {
            auto fd = platform::accept_connection(listener_);
            if (!fd) break;
            size_t index = accepted_++;
            Script script = index < scripts_.size() ? scripts_[index] : Script();
            workers.emplace_back([fd = *fd, script] {
                Connection connection(fd);
                if (script) script(connection);
            });
        }
        for (auto& worker : workers) worker.join();
    }

    std::vector<Script> scripts_;
    platform::Listener listener_;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// Reads one request frame; returns its model id (kind checked).
uint32_t read_request(Connection& connection, uint32_t expected_kind) {
    std::array<uint8_t, FrameHeader::kSize> bytes{};
    if (!connection.read_exact(bytes)) return 0;
    FrameHeader header = FrameHeader::decode(bytes.data());
    EXPECT_EQ(header.kind, expected_kind);
    EXPECT_TRUE(connection.read_payload(header.length));
    return header.model_id;
}

void send_response(Connection& connection, uint32_t status, std::vector<uint8_t> payload) {
    auto header = ResponseHeader{status, static_cast<uint32_t>(payload.size())}.encode();
    ASSERT_TRUE(connection.write_all(header));
    ASSERT_TRUE(connection.write_all(payload));
}

std::vector<uint8_t> tensor_payload(std::vector<uint8_t> data) {
    return encode_tensor_payload(
        TensorPayload{{static_cast<int64_t>(data.size())}, "uint8", std::move(data), std::nullopt});
}

// Answers `requests` single-shot requests with the uint8 tensor [model id].
Script answer(int requests) {
    return [requests](Connection& c) {
        for (int i = 0; i < requests; ++i) {
            uint32_t model = read_request(c, 1);
            send_response(c, 0, tensor_payload({static_cast<uint8_t>(model)}));
        }
    };
}

InferArguments arguments(uint32_t model, std::string dtype = "u8") {
    InferArguments args;
    args.model_id = model;
    args.input = InputTensor{{1}, std::move(dtype), {42}, std::nullopt};
    return args;
}

TEST(SocketClientPreparation, BadAdditionalDtypeFailsBeforeAnyConnection) {
    ScriptedServer server({});
    SocketClient client(server.config());
    auto args = arguments(1);
    args.additional_inputs["mask"] = InputTensor{{}, "bfloat16", {}, std::nullopt};
    auto result = client.infer(args, kNoStop);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(result.error().message, "Invalid input: Unsupported dtype: bfloat16");
    EXPECT_FALSE(client.open_stream(args, kNoStop));
    EXPECT_EQ(server.accepted(), 0);
}

TEST(SocketClientPreparation, MainDtypeIsCheckedAfterConnectingAndKeepsTheConnection) {
    SocketClient unreachable(
        ClientConfig{Endpoint{Endpoint::Kind::Pipe, "/nonexistent/zelto"}, std::nullopt, 8});
    auto failed = unreachable.infer(arguments(1, "BFLOAT16"), kNoStop);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, ErrorKind::Io);

    ScriptedServer server({answer(1)});
    SocketClient client(server.config());
    auto refused = client.infer(arguments(1, "BFLOAT16"), kNoStop);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "Invalid input: Unsupported dtype: bfloat16");
    EXPECT_EQ(client.pool().idle_count(), 1u);
    EXPECT_TRUE(client.infer(arguments(5), kNoStop));  // on the same connection
    EXPECT_EQ(server.accepted(), 1);
}

TEST(SocketClientExchange, FailedRetryIsReportedAndItsConnectionClosed) {
    auto half_header = [](Connection& c) {
        read_request(c, 1);
        ASSERT_TRUE(c.write_all(std::vector<uint8_t>{0, 0, 0, 0}));
    };
    ScriptedServer server({half_header, half_header});
    SocketClient client(server.config());
    auto result = client.infer(arguments(1), kNoStop);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::Io);
    EXPECT_EQ(result.error().message, "failed to fill whole buffer");
    EXPECT_EQ(client.pool().idle_count(), 0u);
    EXPECT_EQ(server.accepted(), 2);
}

// An answer's data lies in its connection's payload buffer, so that connection stays out of
// the pool while the answer lives: a second call meanwhile gets a connection of its own and
// leaves the first answer intact.
TEST(SocketClientExchange, AnAnswerKeepsItsConnectionUntilDropped) {
    ScriptedServer server({answer(1), answer(1)});
    SocketClient client(server.config());
    {
        auto first = client.infer(arguments(3), kNoStop);
        ASSERT_TRUE(first);
        EXPECT_EQ(client.pool().idle_count(), 0u);
        auto second = client.infer(arguments(4), kNoStop);
        ASSERT_TRUE(second);
        EXPECT_EQ(server.accepted(), 2);
        EXPECT_TRUE(std::ranges::equal(first->output().data, std::vector<uint8_t>{3}));
        EXPECT_TRUE(std::ranges::equal(second->output().data, std::vector<uint8_t>{4}));
        EXPECT_EQ(client.pool().idle_count(), 0u);
    }
    EXPECT_EQ(client.pool().idle_count(), 2u);
}

// A wait that stops the call: its deadline passes, or a signal handler raised on its third
// look between slices.
platform::CallWait stopping_wait(ErrorKind why) {
    platform::CallWait wait;
    if (why == ErrorKind::TimedOut) {
        wait.deadline = platform::CallWait::Clock::now() + std::chrono::milliseconds(200);
    } else {
        wait.interrupted = [looks = 0]() mutable { return ++looks == 3; };
    }
    return wait;
}

class SocketClientStopped : public ::testing::TestWithParam<ErrorKind> {};

// A peer that takes the request and never answers: the call ends by its wait, is not retried,
// and its connection is closed rather than pooled (its answer may still come).
TEST_P(SocketClientStopped, EndsTheCallAndClosesItsConnection) {
    std::atomic<bool> closed_by_client{false};
    auto silent = [&closed_by_client](Connection& c) {
        read_request(c, 1);
        platform::CallWait bounded;
        bounded.deadline = platform::CallWait::Clock::now() + std::chrono::seconds(10);
        uint8_t byte = 0;
        auto read = c.read_exact({&byte, 1}, {}, bounded);
        closed_by_client = !read && read.error().message == "failed to fill whole buffer";
    };
    {
        ScriptedServer server({silent, answer(1)});
        SocketClient client(server.config());
        auto result = client.infer(arguments(1), stopping_wait(GetParam()));
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, GetParam());
        EXPECT_EQ(client.pool().idle_count(), 0u);
        EXPECT_EQ(server.accepted(), 1);
    }
    EXPECT_TRUE(closed_by_client);
}

INSTANTIATE_TEST_SUITE_P(Why, SocketClientStopped,
                         ::testing::Values(ErrorKind::TimedOut, ErrorKind::Interrupted),
                         [](const auto& info) {
                             return info.param == ErrorKind::TimedOut ? "Deadline" : "Signal";
                         });

// ---- Payloads read into a sink ----

// Hands out fresh memory (or refuses it) and records what it was asked for.
struct RecordingSink {
    std::vector<size_t> asked;
    std::unique_ptr<uint8_t[]> memory;
    bool refuse = false;
    DataSink sink = [this](size_t n) -> std::span<uint8_t> {
        asked.push_back(n);
        if (refuse) return {};
        memory = std::make_unique_for_overwrite<uint8_t[]>(n);
        return {memory.get(), n};
    };
};

// A connection whose peer sends `bytes` from a thread of its own, then closes.
class FedConnection {
public:
    explicit FedConnection(std::vector<uint8_t> bytes) {
        auto [client, server] = test_streams::local_pair();
        connection = Connection(client);
        writer_ = std::thread([server, bytes = std::move(bytes)] {
            Connection peer{server};
            (void)peer.write_all(bytes);
        });
    }
    ~FedConnection() { writer_.join(); }
    Connection connection;

private:
    std::thread writer_;
};

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<uint8_t> u64(uint64_t v) {
    std::vector<uint8_t> out;
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

// An empty shape and the dtype text `s`: the fields before the data option.
std::vector<uint8_t> text_field(std::string_view s) {
    return cat({u64(0), u64(s.size()), std::vector<uint8_t>(s.begin(), s.end())});
}

std::vector<uint8_t> with_base64(std::string_view dtype, bool data, std::string_view base64) {
    return encode_tensor_payload(
        TensorPayload{{4},
                      std::string(dtype),
                      data ? std::optional(std::vector<uint8_t>{1}) : std::nullopt,
                      std::string(base64)});
}

class SinkPayload : public ::testing::TestWithParam<std::vector<uint8_t>> {};

// Read into a sink, a payload gives what the whole payload's decoding gives, the data in the
// sink's memory, and the connection ends at the payload's end (the next bytes come next).
TEST_P(SinkPayload, ReadsLikeTheWholePayloadDecode) {
    std::vector<uint8_t> payload = GetParam();
    std::vector<uint8_t> whole = payload;
    const auto expected = decode_tensor_payload(whole);
    const std::vector<uint8_t> next = {0xA1, 0xA2, 0xA3};
    FedConnection fed(cat({payload, next}));
    RecordingSink sink;
    auto got = read_tensor_payload(fed.connection, payload.size(), sink.sink, kNoStop);
    if (!expected) {
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().kind, ErrorKind::Codec);
        EXPECT_EQ(got.error().message, expected.error());
    } else {
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_EQ(got->shape, expected->shape);
        EXPECT_EQ(got->dtype, expected->dtype);
        EXPECT_TRUE(std::ranges::equal(got->data, expected->data));
        EXPECT_EQ(sink.asked, std::vector<size_t>{expected->data.size()});
        EXPECT_EQ(got->data.data(), sink.memory.get());
    }
    std::vector<uint8_t> after(next.size());
    ASSERT_TRUE(fed.connection.read_exact(after));
    EXPECT_EQ(after, next);
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, SinkPayload,
    ::testing::Values(tensor_payload({1, 2, 3}), tensor_payload({}), tensor_payload(pattern(70001)),
                      cat({tensor_payload({5, 6}), {9, 9}}),  // trailing bytes ignored
                      with_base64("u8", false, "AAAAPw=="),   // base64, copied over
                      with_base64("u8", false, "AAAAPw"),     // bad base64
                      with_base64("u8", true, "AQ=="),        // both present
                      cat({text_field("bfloat16"), {1}, u64(1), {7}, {0}}),  // unknown dtype
                      cat({text_field("uint8"), {1}, u64(1), {7}}),  // no tag after the data
                      cat({text_field("uint8"), {1}, u64(9), {7}}),  // data past the payload
                      cat({text_field("uint8"), {0}, {0}}),          // neither
                      cat({u64(uint64_t{1} << 60), u64(3)})));       // a lying rank

TEST(SinkRead, RefusedMemoryFailsTheCallAndClosesItsConnection) {
    ScriptedServer server({answer(1), answer(1)});
    SocketClient client(server.config());
    RecordingSink sink;
    sink.refuse = true;
    auto refused = client.infer(arguments(7), kNoStop, &sink.sink);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::SinkFailed);
    EXPECT_EQ(sink.asked, std::vector<size_t>{1});
    EXPECT_EQ(client.pool().idle_count(), 0u);  // mid-frame: closed, not retried
    sink.refuse = false;
    auto answered = client.infer(arguments(8), kNoStop, &sink.sink);
    ASSERT_TRUE(answered);
    EXPECT_TRUE(std::ranges::equal(answered->output().data, std::vector<uint8_t>{8}));
    EXPECT_EQ(answered->output().data.data(), sink.memory.get());
    EXPECT_EQ(server.accepted(), 2);
}

// Data longer than the connection reserves ahead is asked for once half of it is there: a
// peer that announces a gigabyte and sends a few bytes gets no memory for it.
TEST(SinkRead, LargeDataIsAskedForOnceHalfOfItArrived) {
    const size_t honest = Connection::kReserveAhead + 12345;
    std::vector<uint8_t> payload = tensor_payload(pattern(honest));
    {
        FedConnection fed(payload);
        RecordingSink sink;
        auto got = read_tensor_payload(fed.connection, payload.size(), sink.sink, kNoStop);
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_EQ(sink.asked, std::vector<size_t>{honest});
        EXPECT_TRUE(std::ranges::equal(got->data, pattern(honest)));
    }
    const size_t lie = size_t{1} << 30;
    std::vector<uint8_t> announced = cat({text_field("uint8"), {1}, u64(lie), pattern(100)});
    FedConnection fed(announced);
    RecordingSink sink;
    auto got = read_tensor_payload(fed.connection, lie + 64, sink.sink, kNoStop);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, "failed to fill whole buffer");
    EXPECT_TRUE(sink.asked.empty());
}

TEST(SocketClientPreparation, BodiesBeyondThe32BitLengthFieldAreRefused) {
    EXPECT_EQ(frame_length(0xFFFFFFFFu), 0xFFFFFFFFu);
    auto refused = frame_length(0x100000000u);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::Codec);
    EXPECT_EQ(
        refused.error().message,
        "request body of 4294967296 bytes does not fit in a frame (at most 4294967295 bytes)");
}

}  // namespace
}  // namespace zelto
