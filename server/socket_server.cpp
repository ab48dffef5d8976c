#include "socket_server.hpp"

#include <array>
#include <limits>

#include "listener_service.hpp"
#include "models.hpp"
#include "platform/socket.hpp"
#include "platform/wait_policy.hpp"
#include "transport/config.hpp"
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
    if (!platform::send_all(connection.stream(), header_bytes, !payload.empty())) return false;
    return payload.empty() || platform::send_all(connection.stream(), payload).has_value();
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
        if (!dtype) return std::unexpected(dtype.error().message);
        return Tensor{std::move(payload.shape), *dtype, std::move(*payload.data)};
    }
    std::vector<uint8_t> encoded = encode_tensor_payload(payload);
    auto decoded = decode_tensor_payload(encoded);
    if (!decoded) return std::unexpected(std::move(decoded.error()));
    return Tensor{std::move(decoded->shape), decoded->dtype,
                  std::vector<uint8_t>(decoded->data.begin(), decoded->data.end())};
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
        if (!connection.read_exact(header_bytes, platform::kServerSpin)) return;
        FrameHeader header = FrameHeader::decode(header_bytes.data());
        auto body = connection.read_payload(header.length, platform::kServerSpin);
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

}  // namespace

StartResult start_tcp_service(std::string_view address) {
    auto listener = platform::listen_tcp(address);
    if (!listener)
        return std::unexpected("cannot listen on tcp " + std::string(address) + ": " +
                               listener.error().message);
    announce("listening on tcp " + listener->where);
    return start_listener_service(std::move(*listener), false, serve_connection);
}

StartResult start_pipe_service(std::string_view path) {
    auto listener = platform::listen_local(pipe_socket_path(path));
    if (!listener)
        return std::unexpected("cannot listen on pipe " + std::string(path) + ": " +
                               listener.error().message);
    announce("listening on pipe " + listener->where);
    return start_listener_service(std::move(*listener), true, serve_connection);
}

}  // namespace zelto::server
