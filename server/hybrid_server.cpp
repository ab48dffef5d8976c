#include "hybrid_server.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hybrid/control_messages.hpp"
#include "models.hpp"
#include "platform/clock.hpp"
#include "platform/socket.hpp"
#include "transport/connection.hpp"
#include "transport/messages.hpp"

namespace zelto::server {
namespace {

using hybrid::HybridRequest;
using hybrid::HybridResponse;

constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusError = 1;

// ---- Answering one connection -------------------------------------------------------------

// The response frame in one write: header and payload.
bool send_response(Connection& connection, uint32_t status, std::span<const uint8_t> payload) {
    auto header = ResponseHeader{status, static_cast<uint32_t>(payload.size())}.encode();
    std::vector<uint8_t> frame(header.begin(), header.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return connection.write_all(frame).has_value();
}

bool send_error(Connection& connection, const std::string& text) {
    return send_response(connection, kStatusError,
                         {reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

// Runs the request's model on its input block and places the output in the output area.
std::expected<HybridResponse, std::string> answer(ServerRegion& region,
                                                  const HybridRequest& request,
                                                  uint32_t default_model) {
    auto input = region.read_input(request.shm_offset, request.shm_size);
    if (!input) return std::unexpected(input.error());
    uint32_t model =
        request.metadata.param_code != 0 ? request.metadata.param_code : default_model;
    auto output = run_model(model, std::move(*input));
    if (!output) return std::unexpected(output.error());
    auto offset = region.place_output(*output);
    if (!offset) return std::unexpected(offset.error());
    HybridResponse response;
    response.metadata.request_id = request.metadata.request_id;
    response.metadata.status = 0;
    response.metadata.timestamp_ns = platform::wall_clock_ns();
    response.shm_offset = *offset;
    response.shm_size = shm::kTensorBlockHeaderSize + output->data.size();
    return response;
}

// Answers request frames one after another until the client closes the connection.
void serve_connection(Connection& connection, ServerRegion& region, uint32_t default_model) {
    for (;;) {
        std::array<uint8_t, FrameHeader::kSize> head{};
        if (!connection.read_exact(head)) return;
        FrameHeader header = FrameHeader::decode(head.data());
        if (header.kind != static_cast<uint32_t>(RequestKind::Hybrid) ||
            header.length != hybrid::kHybridRequestSize) {
            send_error(connection, "expected a hybrid request (kind 4, length 40), got kind " +
                                       std::to_string(header.kind) + " with length " +
                                       std::to_string(header.length));
            return;
        }
        std::array<uint8_t, hybrid::kHybridRequestSize> body{};
        if (!connection.read_exact(body)) return;
        auto response = answer(region, HybridRequest::decode(body.data()), default_model);
        bool sent = response ? send_response(connection, kStatusOk, response->encode())
                             : send_error(connection, response.error());
        if (!sent) return;
    }
}

// ---- The listener -------------------------------------------------------------------------

// What connection threads share with the service. Threads are detached and hold a reference,
// so the state outlives the service if a thread is still finishing its last statements.
struct Connections {
    std::mutex mutex;
    std::condition_variable all_done;
    std::set<int> open;  // sockets being served, shut down at stop to wake their threads
    size_t running = 0;
    bool stopping = false;
};

class HybridService final : public Service {
public:
    HybridService(platform::Listener listener, std::shared_ptr<ServerRegion> region,
                  uint32_t default_model)
        : listener_(std::move(listener)),
          region_(std::move(region)),
          default_model_(default_model),
          connections_(std::make_shared<Connections>()) {
        accept_thread_ = std::thread([this] { accept_loop(); });
    }

    ~HybridService() override {
        if (accept_thread_.joinable()) stop();
    }

    void stop() override {
        {
            std::lock_guard lock(connections_->mutex);
            connections_->stopping = true;
            for (int fd : connections_->open) ::shutdown(fd, SHUT_RDWR);
        }
        // Shutting a listening socket down wakes the blocked accept with an error.
        ::shutdown(listener_.fd, SHUT_RDWR);
        accept_thread_.join();
        platform::close_socket(listener_.fd);
        std::unique_lock lock(connections_->mutex);
        connections_->all_done.wait(lock, [&] { return connections_->running == 0; });
        ::unlink(listener_.where.c_str());
    }

private:
    void accept_loop() {
        for (;;) {
            auto fd = platform::accept_connection(listener_.fd);
            {
                std::lock_guard lock(connections_->mutex);
                if (connections_->stopping) {
                    if (fd) platform::close_socket(*fd);
                    return;
                }
                if (fd) {
                    connections_->open.insert(*fd);
                    ++connections_->running;
                    std::thread(run_connection, connections_, region_, default_model_, *fd)
                        .detach();
                    continue;
                }
            }
            // Out of descriptors or memory: say so and give the system a moment to recover
            // rather than spinning on the same error.
            std::cerr << "zelto-reference-server: accept failed: " << fd.error().message << "\n";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static void run_connection(std::shared_ptr<Connections> connections,
                               std::shared_ptr<ServerRegion> region, uint32_t default_model,
                               int fd) {
        {
            Connection connection(fd);
            serve_connection(connection, *region, default_model);
            std::lock_guard lock(connections->mutex);
            connections->open.erase(fd);
        }  // closed here, after stop() can no longer shut it down
        std::lock_guard lock(connections->mutex);
        --connections->running;
        connections->all_done.notify_all();
    }

    platform::Listener listener_;
    std::shared_ptr<ServerRegion> region_;
    uint32_t default_model_;
    std::shared_ptr<Connections> connections_;
    std::thread accept_thread_;
};

}  // namespace

StartResult start_hybrid_service(std::shared_ptr<ServerRegion> region, std::string_view path,
                                 uint32_t default_model) {
    auto listener = platform::listen_local(path);
    if (!listener) {
        return std::unexpected("cannot listen on hybrid " + std::string(path) + ": " +
                               listener.error().message);
    }
    announce("listening on hybrid " + listener->where);
    return std::make_unique<HybridService>(std::move(*listener), std::move(region),
                                           default_model);
}

StartResult start_hybrid_service(std::shared_ptr<ServerRegion> region, std::string_view path,
                                 const std::optional<std::string>& model) {
    uint32_t id = kEchoModel;
    if (model) {
        const char* end = model->data() + model->size();
        auto [stop, ec] = std::from_chars(model->data(), end, id);
        if (ec != std::errc() || stop != end || id == 0) {
            return std::unexpected("--shm-model needs a model id from 1, not " + *model);
        }
    }
    return start_hybrid_service(std::move(region), path, id);
}

}  // namespace zelto::server
