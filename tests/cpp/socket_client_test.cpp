// The request exchange at engine level: the order of preparation and what happens to connections
// after a failed retry, against a scripted server thread on a local socket. The wire-level
// behaviour (exact bytes, retries, statuses, streams) is tested from Python against a peer
// process.
#include "transport/socket_client.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/socket.hpp"
#include "transport/messages.hpp"

namespace zelto {
namespace {

namespace fs = std::filesystem;
// Engine tests wait without bound: nothing interrupts them.
const platform::CallWait& kNoStop = platform::unbounded_wait();
using Script = std::function<void(Connection&)>;

// Serves the i-th accepted connection with scripts[i]; later connections are closed at once.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
        std::string pattern = (fs::temp_directory_path() / "zelto-client-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
        path_ = dir_ + "/server";
        listener_ = *platform::listen_local(path_);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedServer() {
        ::shutdown(listener_.fd, SHUT_RDWR);
        thread_.join();
        platform::close_socket(listener_.fd);
        fs::remove_all(dir_);
    }
    ClientConfig config(uint64_t pool_size = 8) const {
        return ClientConfig{Endpoint{Endpoint::Kind::Pipe, path_}, std::nullopt, pool_size};
    }
    int accepted() const { return accepted_; }

private:
    void run() {
        std::vector<std::thread> workers;
        for (;;) {
            auto fd = platform::accept_connection(listener_.fd);
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
    std::string dir_, path_;
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
    EXPECT_EQ(result.error().kind, ClientError::Kind::InvalidInput);
    EXPECT_EQ(result.error().message, "Invalid input: Unsupported dtype: bfloat16");
    EXPECT_FALSE(client.open_stream(args, kNoStop));
    EXPECT_EQ(server.accepted(), 0);
}

TEST(SocketClientPreparation, MainDtypeIsCheckedAfterConnectingAndKeepsTheConnection) {
    SocketClient unreachable(
        ClientConfig{Endpoint{Endpoint::Kind::Pipe, "/nonexistent/zelto"}, std::nullopt, 8});
    auto failed = unreachable.infer(arguments(1, "BFLOAT16"), kNoStop);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, ClientError::Kind::Io);

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
    EXPECT_EQ(result.error().kind, ClientError::Kind::Io);
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
platform::CallWait stopping_wait(ClientError::Kind why) {
    platform::CallWait wait;
    if (why == ClientError::Kind::TimedOut) {
        wait.deadline = platform::CallWait::Clock::now() + std::chrono::milliseconds(200);
    } else {
        wait.interrupted = [looks = 0]() mutable { return ++looks == 3; };
    }
    return wait;
}

class SocketClientStopped : public ::testing::TestWithParam<ClientError::Kind> {};

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
                         ::testing::Values(ClientError::Kind::TimedOut,
                                           ClientError::Kind::Interrupted),
                         [](const auto& info) {
                             return info.param == ClientError::Kind::TimedOut ? "Deadline"
                                                                              : "Signal";
                         });

TEST(SocketClientPreparation, BodiesBeyondThe32BitLengthFieldAreRefused) {
    EXPECT_EQ(frame_length(0xFFFFFFFFu), 0xFFFFFFFFu);
    auto refused = frame_length(0x100000000u);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ClientError::Kind::Codec);
    EXPECT_EQ(
        refused.error().message,
        "request body of 4294967296 bytes does not fit in a frame (at most 4294967295 bytes)");
}

}  // namespace
}  // namespace zelto
