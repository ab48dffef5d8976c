#include "hybrid_server.hpp"

#include <array>
#include <charconv>
#include <string>
#include <vector>

#include "hybrid/control_messages.hpp"
#include "listener_service.hpp"
#include "models.hpp"
#include "platform/clock.hpp"
#include "platform/socket.hpp"
#include "platform/wait_policy.hpp"
#include "transport/config.hpp"
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
    uint32_t model = request.metadata.param_code != 0 ? request.metadata.param_code : default_model;
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

// The output block of a connection's last answer. The client may still be copying it out until
// it sends its next request or closes the connection, so the block is freed only then.
class LastOutput {
public:
    explicit LastOutput(ServerRegion& region) : region_(region) {}
    ~LastOutput() { release(); }
    LastOutput(const LastOutput&) = delete;
    LastOutput& operator=(const LastOutput&) = delete;

    void hold(uint64_t offset) { offset_ = offset; }
    void release() {
        if (offset_ != kNone) region_.release_output(offset_);
        offset_ = kNone;
    }

private:
    static constexpr uint64_t kNone = 0;  // the region's header, never an output block
    ServerRegion& region_;
    uint64_t offset_ = kNone;
};

// Answers request frames one after another until the client closes the connection.
void serve_connection(Connection& connection, ServerRegion& region, uint32_t default_model) {
    LastOutput last_output(region);
    for (;;) {
        std::array<uint8_t, FrameHeader::kSize> head{};
        if (!connection.read_exact(head, platform::kServerSpin)) return;
        FrameHeader header = FrameHeader::decode(head.data());
        if (header.kind != static_cast<uint32_t>(RequestKind::Hybrid) ||
            header.length != hybrid::kHybridRequestSize) {
            send_error(connection, "expected a hybrid request (kind 4, length 40), got kind " +
                                       std::to_string(header.kind) + " with length " +
                                       std::to_string(header.length));
            return;
        }
        std::array<uint8_t, hybrid::kHybridRequestSize> body{};
        if (!connection.read_exact(body, platform::kServerSpin)) return;
        last_output.release();  // a client sends its next request after reading its answer
        HybridRequest request = HybridRequest::decode(body.data());
        // A shared-memory client that used this input block before has read its answers.
        region.inputs_read(request.shm_offset);
        auto response = answer(region, request, default_model);
        if (response) last_output.hold(response->shm_offset);
        bool sent = response ? send_response(connection, kStatusOk, response->encode())
                             : send_error(connection, response.error());
        if (!sent) return;
    }
}

}  // namespace

StartResult start_hybrid_service(std::shared_ptr<ServerRegion> region, std::string_view path,
                                 uint32_t default_model) {
    auto listener = platform::listen_local(pipe_socket_path(path));
    if (!listener) {
        return std::unexpected("cannot listen on hybrid " + std::string(path) + ": " +
                               listener.error().message);
    }
    announce("listening on hybrid " + listener->where);
    return start_listener_service(
        std::move(*listener), true,
        [region = std::move(region), default_model](Connection& connection) {
            serve_connection(connection, *region, default_model);
        });
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
