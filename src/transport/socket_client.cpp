#include "transport/socket_client.hpp"

#include <array>
#include <limits>
#include <span>
#include <utility>

#include "platform/wait_policy.hpp"
#include "transport/debug_notes.hpp"
#include "transport/messages.hpp"

namespace zelto {

// ---- ConnectionPool -------------------------------------------------------------------------

void ConnectionPool::forget_inherited() {
    if (!process_.in_other_process()) return;
    // Closing only drops this process's references; the parent's connections stay intact.
    idle_.clear();
    process_ = platform::ProcessStamp();
}

std::expected<Connection, IoError> ConnectionPool::acquire(const Endpoint& endpoint,
                                                           const platform::CallWait& wait) {
    for (;;) {
        Connection connection;
        {
            std::lock_guard lock(mutex_);
            forget_inherited();
            if (idle_.empty()) break;
            connection = std::move(idle_.front());
            idle_.pop_front();
        }
        if (connection.is_quiet()) return connection;
        // Out of step, or closed by the peer: `connection` closes here, outside the lock.
        debug_notes::note_everyday([] {
            return std::string("idle connection closed: the server closed it or sent something");
        });
    }
    // Opening can block for a long time: never with the lock held.
    auto opened = Connection::open(endpoint, wait);
    if (opened) debug_notes::note_everyday([&] { return "connected to " + endpoint.display(); });
    return opened;
}

void ConnectionPool::release(Connection connection) {
    // A connection not kept closes with `connection`'s destructor.
    const char* closed = max_pool_size_ == 0             ? "the client keeps no idle connections"
                         : connection.has_unread_bytes() ? "the server sent more than its answer"
                                                         : nullptr;
    if (closed == nullptr) {
        connection.shed_large_buffer();
        std::lock_guard lock(mutex_);
        forget_inherited();
        if (idle_.size() < max_pool_size_) {
            idle_.push_back(std::move(connection));
            const size_t idle = idle_.size();
            debug_notes::note_everyday(
                [&] { return "connection pooled (" + std::to_string(idle) + " idle)"; });
            return;
        }
        // The pool is full; closing a socket does not block, so doing it under the lock is
        // harmless.
        closed = "the pool is full";
    }
    debug_notes::note_everyday([&] { return std::string("connection closed: ") + closed; });
}

void ConnectionPool::close() {
    std::deque<Connection> closing;
    {
        std::lock_guard lock(mutex_);
        max_pool_size_ = 0;
        closing.swap(idle_);
    }
    // `closing` closes its connections here, outside the lock.
}

size_t ConnectionPool::idle_count() const {
    std::lock_guard lock(mutex_);
    return idle_.size();
}

// ---- Request preparation ------------------------------------------------------------------

std::expected<uint32_t, Error> frame_length(size_t body_size) {
    if (body_size > std::numeric_limits<uint32_t>::max()) {
        return std::unexpected(Error{
            ErrorKind::Codec, "request body of " + std::to_string(body_size) +
                                  " bytes does not fit in a frame (at most 4294967295 bytes)"});
    }
    return static_cast<uint32_t>(body_size);
}

std::expected<ParsedExtras, Error> parse_additional_inputs(const InferArguments& args) {
    ParsedExtras extras;
    extras.views.reserve(args.additional_inputs.size());
    for (const auto& [name, tensor] : args.additional_inputs) {
        auto dtype = parse_dtype(tensor.dtype);
        if (!dtype) return std::unexpected(std::move(dtype.error()));
        extras.views.push_back(
            NamedTensorView{name, TensorView{tensor.shape, *dtype, tensor.bytes()}});
    }
    return extras;
}

std::expected<EncodedRequest, Error> encode_request(const InferArguments& args,
                                                    const ParsedExtras& extras,
                                                    const ClientConfig& config, RequestKind kind) {
    auto dtype = parse_dtype(args.input.dtype);
    if (!dtype) return std::unexpected(std::move(dtype.error()));
    InferRequestView request;
    request.input = TensorView{args.input.shape, *dtype, args.input.bytes()};
    request.additional_inputs = extras.views;
    if (args.session_id) request.session_id = *args.session_id;
    if (config.api_token) request.api_token = *config.api_token;

    auto length = frame_length(encoded_size(request));
    if (!length) return std::unexpected(length.error());
    EncodedRequest encoded{{}, encode_infer_request_around_data(request), args.input.bytes()};
    encoded.header = FrameHeader{args.model_id, static_cast<uint32_t>(kind), *length}.encode();
    return encoded;
}

std::array<std::span<const uint8_t>, 4> EncodedRequest::pieces() const {
    std::span<const uint8_t> framing(body.framing);
    return {std::span<const uint8_t>(header), framing.first(body.split), data,
            framing.subspan(body.split)};
}

namespace {

// The frame header (model id, kind, body length) and the body leave in one gathering write,
// then a flush. The peer reads the same bytes in the same order as from separate writes of the
// three header fields and the body; a small request costs one system call and one segment
// instead of four, and a large input is sent from the caller's buffer without being copied.
std::expected<void, IoError> send_request(Connection& connection, const EncodedRequest& request,
                                          const platform::CallWait& wait) {
    const auto pieces = request.pieces();
    if (auto sent = connection.write_all(pieces, platform::kClientSpin, wait); !sent) return sent;
    return connection.flush();
}

// A frame's result that the frame kind guarantees to hold a tensor: a single-shot answer is
// never the end of a stream.
std::expected<DecodedTensor, Error> tensor_of(FrameResult frame) {
    if (!frame) return std::unexpected(std::move(frame.error()));
    return std::move(**frame);
}

// What one single-shot attempt produced, its data in the connection's payload buffer. Io,
// Interrupted and TimedOut errors mean the connection is unusable (the exchange may have ended
// mid-frame); any other outcome leaves it at a frame boundary, fit for the pool.
using Attempt = std::expected<DecodedTensor, Error>;

Attempt run_attempt(Connection& connection, const InferArguments& args, const ParsedExtras& extras,
                    const ClientConfig& config, const platform::CallWait& wait,
                    const DataSink* sink) {
    auto request = encode_request(args, extras, config, RequestKind::Infer);
    if (!request) return std::unexpected(request.error());
    if (auto sent = send_request(connection, *request, wait); !sent) {
        return std::unexpected(Error::io(sent.error()));
    }
    connection.answer_reader().begin(AnswerReader::Frame::Answer, sink);
    return tensor_of(connection.finish_frame(platform::kClientSpin, wait));
}

bool is_io(const Error& error) {
    return error.kind == ErrorKind::Io;
}

}  // namespace

// ---- Payloads read into a sink ------------------------------------------------------------

std::expected<DecodedTensor, Error> read_tensor_payload(Connection& connection, size_t size,
                                                        const DataSink& sink,
                                                        const platform::CallWait& wait) {
    connection.answer_reader().begin_tensor_payload(size, sink);
    return tensor_of(connection.finish_frame(platform::kClientSpin, wait));
}

// ---- SocketClient -------------------------------------------------------------------------

Response::~Response() {
    if (pool_ != nullptr) pool_->release(std::move(connection_));
}

std::expected<Response, Error> SocketClient::infer(const InferArguments& args,
                                                   const platform::CallWait& wait,
                                                   const DataSink* sink) {
    auto extras = parse_additional_inputs(args);
    if (!extras) return std::unexpected(extras.error());

    auto connection = pool_.acquire(config_.endpoint, wait);
    if (!connection) return timed_out_noted(Error::io(connection.error()));
    Attempt first = run_attempt(*connection, args, *extras, config_, wait, sink);
    if (first) return Response(std::move(*first), std::move(*connection), pool_);
    // A stopped wait or a failed sink may leave the exchange mid-frame: `connection` closes as it
    // goes.
    if (first.error().abandoned_exchange()) return timed_out_noted(std::move(first.error()));
    if (!is_io(first.error())) {
        pool_.release(std::move(*connection));
        return std::unexpected(std::move(first.error()));
    }

    // The first connection failed mid-exchange (often one the server closed while it sat in
    // the pool): close it and try once more on a connection opened for this retry.
    *connection = Connection();
    debug_notes::note("retrying the request to " + config_.endpoint.display() +
                      " on a new connection after: " + first.error().message);
    auto fresh = Connection::open(config_.endpoint, wait);
    if (!fresh) return timed_out_noted(Error::io(fresh.error()));
    debug_notes::note_everyday([&] { return "connected to " + config_.endpoint.display(); });
    Attempt second = run_attempt(*fresh, args, *extras, config_, wait, sink);
    if (!second) return timed_out_noted(std::move(second.error()));
    return Response(std::move(*second), std::move(*fresh), pool_);
}

std::unexpected<Error> SocketClient::timed_out_noted(Error error) const {
    if (error.kind == ErrorKind::TimedOut)
        debug_notes::note("request to " + config_.endpoint.display() + " timed out");
    return std::unexpected(std::move(error));
}

std::expected<Connection, Error> SocketClient::open_stream(const InferArguments& args,
                                                           const platform::CallWait& wait) {
    auto extras = parse_additional_inputs(args);
    if (!extras) return std::unexpected(extras.error());

    auto connection = Connection::open(config_.endpoint, wait);
    if (!connection) return std::unexpected(Error::io(connection.error()));
    auto request = encode_request(args, *extras, config_, RequestKind::Stream);
    if (!request) return std::unexpected(request.error());
    if (auto sent = send_request(*connection, *request, wait); !sent) {
        return std::unexpected(Error::from_io(ErrorKind::StreamSend, std::move(sent.error())));
    }
    return std::move(*connection);
}

// ---- Stream items -------------------------------------------------------------------------

std::expected<std::optional<DecodedTensor>, Error> read_stream_item(Connection& connection,
                                                                    const platform::CallWait& wait,
                                                                    const DataSink* sink) {
    connection.answer_reader().begin(AnswerReader::Frame::StreamItem, sink);
    return connection.finish_frame(platform::kClientSpin, wait);
}

}  // namespace zelto
