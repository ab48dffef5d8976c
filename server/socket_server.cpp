#include "socket_server.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "models.hpp"
#include "platform/socket.hpp"
#include "transport/connection.hpp"
#include "transport/messages.hpp"

namespace zelto::server {
namespace {

constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusError = 1;
constexpr uint32_t kStatusStreamData = 2;

// ---- Answering one connection -------------------------------------------------------------

// One response frame: the header, then the payload. The header is sent with "more to come" so
// both leave in one segment.
bool send_frame(Connection& connection, uint32_t status, std::span<const uint8_t> payload) {
    ResponseHeader header{status, static_cast<uint32_t>(payload.size())};
    auto header_bytes = header.encode();
    if (!platform::send_all(connection.fd(), header_bytes, !payload.empty())) return false;
    return payload.empty() || platform::send_all(connection.fd(), payload).has_value();
}

bool send_error(Connection& connection, const std::string& text) {
    // An empty error text would read as "payload_size 0", which ends a stream; say something.
    std::string_view shown = text.empty() ? std::string_view("unknown error") : text;
    return send_frame(connection, kStatusError,
                      {reinterpret_cast<const uint8_t*>(shown.data()), shown.size()});
}

bool send_tensor(Connection& connection, uint32_t status, Tensor tensor) {
    TensorPayload payload{std::move(tensor.shape), std::string(canonical_name(tensor.dtype)),
                          std::move(tensor.data), std::nullopt};
    std::vector<uint8_t> bytes = encode_tensor_payload(payload);
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
        return send_error(connection, "output of " + std::to_string(bytes.size()) +
                                          " bytes does not fit in a response frame");
    }
    return send_frame(connection, status, bytes);
}

// The request's input as a model takes it. Raw data is taken as is; anything else (base64,
// both or neither form) goes through the payload decoder for its exact checks and messages.
std::expected<Tensor, std::string> input_tensor(TensorPayload payload) {
    if (payload.data && !payload.data_base64) {
        auto dtype = parse_dtype(payload.dtype);
        if (!dtype) return std::unexpected(dtype.error().display());
        return Tensor{std::move(payload.shape), *dtype, std::move(*payload.data)};
    }
    return decode_tensor_payload(encode_tensor_payload(payload));
}

struct DecodedRequest {
    Tensor input;
    ModelContext context;
};

std::expected<DecodedRequest, std::string> decode_request(std::span<const uint8_t> body) {
    auto request = decode_infer_request(body);
    if (!request) return std::unexpected("bad request: " + request.error());
    auto input = input_tensor(std::move(request->input));
    if (!input) return std::unexpected(input.error());
    return DecodedRequest{std::move(*input), ModelContext{std::move(request->session_id)}};
}

bool answer_single(Connection& connection, uint32_t model_id, std::span<const uint8_t> body) {
    auto request = decode_request(body);
    if (!request) return send_error(connection, request.error());
    auto output = run_model(model_id, std::move(request->input), request->context);
    if (!output) return send_error(connection, output.error());
    return send_tensor(connection, kStatusOk, std::move(*output));
}

void answer_stream(Connection& connection, uint32_t model_id, std::span<const uint8_t> body) {
    auto request = decode_request(body);
    bool open = true;
    if (!request) {
        open = send_error(connection, request.error());
    } else {
        run_stream(model_id, std::move(request->input), request->context, [&](StreamFrame frame) {
            if (auto* tensor = std::get_if<Tensor>(&frame)) {
                open = send_tensor(connection, kStatusStreamData, std::move(*tensor));
            } else {
                open = send_error(connection, std::get<std::string>(frame));
            }
            return open;
        });
    }
    if (open) send_frame(connection, kStatusOk, {});
}

// Answers requests one after another until the client closes the connection. A stream request
// is the connection's last: it carries only that stream.
void serve_connection(Connection& connection) {
    for (;;) {
        std::array<uint8_t, FrameHeader::kSize> header_bytes{};
        if (!connection.read_exact(header_bytes)) return;
        FrameHeader header = FrameHeader::decode(header_bytes.data());
        auto body = connection.read_payload(header.length);
        if (!body) return;
        switch (static_cast<RequestKind>(header.kind)) {
            case RequestKind::Infer:
                if (!answer_single(connection, header.model_id, *body)) return;
                break;
            case RequestKind::Stream:
                answer_stream(connection, header.model_id, *body);
                return;
            default:
                if (!send_error(connection,
                                "unsupported request kind " + std::to_string(header.kind)))
                    return;
                break;
        }
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

class SocketService final : public Service {
  public:
    SocketService(platform::Listener listener, bool owns_file)
        : listener_(std::move(listener)),
          owns_file_(owns_file),
          connections_(std::make_shared<Connections>()) {
        accept_thread_ = std::thread([this] { accept_loop(); });
    }

    ~SocketService() override {
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
        if (owns_file_) ::unlink(listener_.where.c_str());
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
                    std::thread(run_connection, connections_, *fd).detach();
                    continue;
                }
            }
            // Out of descriptors or memory: say so and give the system a moment to recover
            // rather than spinning on the same error.
            std::cerr << "zelto-reference-server: accept failed: " << fd.error().message << "\n";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static void run_connection(std::shared_ptr<Connections> connections, int fd) {
        {
            Connection connection(fd);
            serve_connection(connection);
            std::lock_guard lock(connections->mutex);
            connections->open.erase(fd);
        }  // closed here, after stop() can no longer shut it down
        std::lock_guard lock(connections->mutex);
        --connections->running;
        connections->all_done.notify_all();
    }

    platform::Listener listener_;
    bool owns_file_;
    std::shared_ptr<Connections> connections_;
    std::thread accept_thread_;
};

}  // namespace

StartResult start_tcp_service(std::string_view address) {
    auto listener = platform::listen_tcp(address);
    if (!listener)
        return std::unexpected("cannot listen on tcp " + std::string(address) + ": " +
                               listener.error().message);
    announce("listening on tcp " + listener->where);
    return std::make_unique<SocketService>(std::move(*listener), false);
}

StartResult start_pipe_service(std::string_view path) {
    auto listener = platform::listen_local(path);
    if (!listener)
        return std::unexpected("cannot listen on pipe " + std::string(path) + ": " +
                               listener.error().message);
    announce("listening on pipe " + listener->where);
    return std::make_unique<SocketService>(std::move(*listener), true);
}

}  // namespace zelto::server
