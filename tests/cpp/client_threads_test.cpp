// Many threads on one client at once, as a Python program runs them with release_gil=True: one
// socket client serving every thread from its pool, and shared-memory clients of one region
// in one process. Part of the ThreadSanitizer run (make sanitize-tsan), where a data race in
// what the calls share fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/socket.hpp"
#include "shm/queue_entries.hpp"
#include "shm/shm_client.hpp"
#include "shm_test_region.hpp"
#include "support/stream_pair.hpp"
#include "transport/messages.hpp"
#include "transport/socket_client.hpp"

namespace zelto {
namespace {

constexpr int kThreads = 8;

// The data of call `n` of thread `t`: unique to it, of varying length.
std::vector<uint8_t> call_data(int t, int n) {
    std::vector<uint8_t> data(8 + static_cast<size_t>(n % 5) * 300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(t * 31 + n + i);
    std::memcpy(data.data(), &t, sizeof t);
    std::memcpy(data.data() + 4, &n, sizeof n);
    return data;
}

// Echoes the input of every single-shot request back as a uint8 tensor, one thread per
// connection, and closes each connection after `answers_per_connection` answers, so that the
// clients also find pooled connections closed under them and retry.
class EchoServer {
public:
    EchoServer(bool tcp, int answers_per_connection) : answers_(answers_per_connection) {
        if (tcp) {
            listener_ = platform::listen_tcp("127.0.0.1:0").value();
            endpoint_ = Endpoint{Endpoint::Kind::Tcp, listener_.where};
        } else {
            listener_ =
                platform::listen_local(test_streams::unique_local_endpoint("threads")).value();
            endpoint_ = Endpoint{Endpoint::Kind::Pipe, listener_.where};
        }
        thread_ = std::thread([this] { run(); });
    }
    ~EchoServer() {
        platform::stop_accepting(listener_);
        thread_.join();
        platform::close_listener(listener_, true);
    }
    ClientConfig config(uint64_t pool_size) const {
        return ClientConfig{endpoint_, std::nullopt, pool_size};
    }

private:
    void run() {
        std::vector<std::thread> workers;
        for (;;) {
            auto fd = platform::accept_connection(listener_);
            if (!fd) break;
            workers.emplace_back([this, fd = *fd] { serve(Connection(fd)); });
        }
        for (auto& worker : workers) worker.join();
    }

    void serve(Connection connection) const {
        for (int i = 0; i < answers_; ++i) {
            std::array<uint8_t, FrameHeader::kSize> bytes{};
            if (!connection.read_exact(bytes)) return;
            auto body = connection.read_payload(FrameHeader::decode(bytes.data()).length);
            if (!body) return;
            auto request = decode_infer_request(*body);
            if (!request || !request->input.data) return;
            auto payload = encode_tensor_payload(
                TensorPayload{request->input.shape, "uint8", *request->input.data, std::nullopt});
            auto header = ResponseHeader{0, static_cast<uint32_t>(payload.size())}.encode();
            if (!connection.write_all(header) || !connection.write_all(payload)) return;
        }
    }

    int answers_;
    platform::Listener listener_;
    Endpoint endpoint_;
    std::thread thread_;
};

class SocketClientThreads : public ::testing::TestWithParam<bool> {};

TEST_P(SocketClientThreads, ShareOneClientAndEachGetsItsOwnAnswers) {
    constexpr int kCalls = 150;
    EchoServer server(/*tcp=*/GetParam(), /*answers_per_connection=*/7);
    // A pool smaller than the number of threads: connections are also closed on release.
    SocketClient client(server.config(3));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Each call has a wait policy of its own, as each Python call does.
            platform::CallWait wait;
            wait.interrupted = [] { return false; };
            for (int n = 0; n < kCalls; ++n) {
                InferArguments args;
                args.model_id = 1;
                args.input = InputTensor{{}, "uint8", call_data(t, n), std::nullopt};
                args.input.shape = {static_cast<int64_t>(args.input.data.size())};
                for (;;) {
                    auto response = client.infer(args, wait);
                    // A pipe with no instance free refuses at once: the caller tries again.
                    if (platform::kNamedPipes && !response &&
                        response.error().io_category == IoCategory::WouldBlock)
                        continue;
                    if (!response || !std::ranges::equal(response->output().data, args.input.data))
                        ++wrong;
                    break;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(client.pool().idle_count(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Transports, SocketClientThreads, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tcp" : "Local"; });

// One shared-memory client object per thread on one region, all in flight at once: their slots
// and request ids never collide, and every answer reaches its own caller whoever pops it.
TEST(ShmClientThreads, ClientsOfOneRegionEachGetTheirOwnAnswers) {
    using namespace shm;
    constexpr int kCalls = 100;
    shm::testing::TestRegion region("threads");
    std::atomic<bool> stop{false};
    std::thread server([&] {
        std::array<uint8_t, kRequestEntrySize> raw{};
        while (!stop) {
            if (!region.requests().pop(raw)) {
                std::this_thread::yield();
                continue;
            }
            // Echo: the answer is the request's own block, which its client keeps until it has
            // read the answer.
            RequestEntry request = RequestEntry::decode(raw.data());
            auto answer = ResponseEntry{request.request_id, 0, request.tensor_offset, 0}.encode();
            while (region.responses().push(answer) != RingBuffer::PushResult::Ok)
                std::this_thread::yield();
        }
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads / 2; ++t) {
        threads.emplace_back([&, t] {
            auto client = ShmClient::open(region.name());
            if (!client) {
                ++wrong;
                return;
            }
            for (int n = 0; n < kCalls; ++n) {
                auto data = call_data(t, n);
                const int64_t shape[] = {static_cast<int64_t>(data.size())};
                auto output = client->infer(shape, "uint8", data, platform::unbounded_wait());
                if (!output || !std::ranges::equal(output->data(), data)) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    stop = true;
    server.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace zelto
