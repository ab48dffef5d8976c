#include "transport/socket_client.hpp"

#include <array>
#include <cstring>
#include <limits>
#include <span>
#include <utility>

#include "platform/wait_policy.hpp"
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
    }
    // Opening can block for a long time: never with the lock held.
    return Connection::open(endpoint, wait);
}

void ConnectionPool::release(Connection connection) {
    if (max_pool_size_ == 0) return;            // closed by `connection`'s destructor
    if (connection.has_unread_bytes()) return;  // the peer sent more than its answer
    connection.shed_large_buffer();
    std::lock_guard lock(mutex_);
    forget_inherited();
    if (idle_.size() < max_pool_size_) idle_.push_back(std::move(connection));
    // Otherwise the pool is full and `connection` closes when it goes out of scope; closing a
    // socket does not block, so doing it under the lock is harmless.
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

namespace {

// The additional inputs with their dtypes parsed, as views into the caller's arguments.
struct ParsedExtras {
    std::vector<NamedTensorView> views;
};

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

// A request ready to send: its body length and its body, encoded around the caller's input
// data (which stays where it is until it is written).
struct EncodedRequest {
    uint32_t length = 0;
    BodyAroundData body;
    std::span<const uint8_t> data;
};

// Parses the main dtype, then builds and encodes the body (preparation after the connection
// was obtained).
std::expected<EncodedRequest, Error> encode_request(const InferArguments& args,
                                                    const ParsedExtras& extras,
                                                    const ClientConfig& config) {
    auto dtype = parse_dtype(args.input.dtype);
    if (!dtype) return std::unexpected(std::move(dtype.error()));
    InferRequestView request;
    request.input = TensorView{args.input.shape, *dtype, args.input.bytes()};
    request.additional_inputs = extras.views;
    if (args.session_id) request.session_id = *args.session_id;
    if (config.api_token) request.api_token = *config.api_token;

    auto length = frame_length(encoded_size(request));
    if (!length) return std::unexpected(length.error());
    return EncodedRequest{*length, encode_infer_request_around_data(request), args.input.bytes()};
}

// The frame header (model id, kind, body length) and the body leave in one gathering write,
// then a flush. The peer reads the same bytes in the same order as from separate writes of the
// three header fields and the body; a small request costs one system call and one segment
// instead of four, and a large input is sent from the caller's buffer without being copied.
std::expected<void, IoError> send_request(Connection& connection, uint32_t model_id,
                                          RequestKind kind, const EncodedRequest& request,
                                          const platform::CallWait& wait) {
    std::array<uint8_t, FrameHeader::kSize> header =
        FrameHeader{model_id, static_cast<uint32_t>(kind), request.length}.encode();
    std::span<const uint8_t> framing(request.body.framing);
    const std::span<const uint8_t> pieces[] = {header, framing.first(request.body.split),
                                               request.data, framing.subspan(request.body.split)};
    if (auto sent = connection.write_all(pieces, platform::kClientSpin, wait); !sent) return sent;
    return connection.flush();
}

std::expected<ResponseHeader, IoError> read_header(Connection& connection,
                                                   const platform::CallWait& wait) {
    std::array<uint8_t, ResponseHeader::kSize> bytes{};
    if (auto read = connection.read_exact(bytes, platform::kClientSpin, wait); !read) {
        return std::unexpected(read.error());
    }
    return ResponseHeader::decode(bytes.data());
}

// What one single-shot attempt produced, its data in the connection's payload buffer. Io,
// Interrupted and TimedOut errors mean the connection is unusable (the exchange may have ended
// mid-frame); any other outcome leaves it at a frame boundary, fit for the pool.
using Attempt = std::expected<DecodedTensor, Error>;

Attempt run_attempt(Connection& connection, const InferArguments& args, const ParsedExtras& extras,
                    const ClientConfig& config, const platform::CallWait& wait,
                    const DataSink* sink) {
    auto request = encode_request(args, extras, config);
    if (!request) return std::unexpected(request.error());
    if (auto sent = send_request(connection, args.model_id, RequestKind::Infer, *request, wait);
        !sent) {
        return std::unexpected(Error::io(sent.error()));
    }
    auto header = read_header(connection, wait);
    if (!header) return std::unexpected(Error::io(header.error()));
    if (sink != nullptr && header->status == 0) {
        return read_tensor_payload(connection, header->payload_size, *sink, wait);
    }
    auto payload = connection.read_payload(header->payload_size, platform::kClientSpin, wait);
    if (!payload) return std::unexpected(Error::io(payload.error()));
    if (header->status != 0) return std::unexpected(Error{ErrorKind::Server, utf8_lossy(*payload)});
    auto tensor = decode_tensor_payload(*payload);
    if (!tensor) return std::unexpected(Error{ErrorKind::Codec, std::move(tensor.error())});
    return std::move(*tensor);
}

bool is_io(const Error& error) {
    return error.kind == ErrorKind::Io;
}

}  // namespace

// ---- Payloads read into a sink ------------------------------------------------------------

namespace {

std::expected<std::span<uint8_t>, Error> sink_memory(const DataSink& sink, size_t n) {
    std::span<uint8_t> memory = sink(n);
    if (memory.size() != n) return std::unexpected(Error::sink_failed());
    return memory;
}

// The payload's data, then the rest of it, once its head was read and decoded: the data goes
// straight into the sink's memory, the rest into the payload buffer.
Attempt read_placed_data(Connection& connection, size_t size, TensorPayloadHead head,
                         const DataPlacement& placement, const DataSink& sink,
                         const platform::CallWait& wait) {
    const size_t data_size = placement.data_size;
    std::span<uint8_t> memory;
    size_t staged = 0;
    if (data_size > Connection::kReserveAhead) {
        // A length this large is believed once half of it has come: a peer that announces more
        // than it sends gets no more memory than twice what it sent.
        staged = data_size / 2;
        auto arrived = connection.read_payload_piece(placement.head_size, staged, size,
                                                     platform::kClientSpin, wait);
        if (!arrived) return std::unexpected(Error::io(std::move(arrived.error())));
        auto given = sink_memory(sink, data_size);
        if (!given) return std::unexpected(std::move(given.error()));
        memory = *given;
        std::memcpy(memory.data(), arrived->data() + placement.head_size, staged);
    } else {
        auto given = sink_memory(sink, data_size);
        if (!given) return std::unexpected(std::move(given.error()));
        memory = *given;
    }
    if (auto read = connection.read_exact(memory.subspan(staged), platform::kClientSpin, wait);
        !read) {
        return std::unexpected(Error::io(std::move(read.error())));
    }
    // The head was decoded already: the rest takes its place in the payload buffer.
    auto tail = connection.read_payload_piece(0, size - placement.head_size - data_size, size,
                                              platform::kClientSpin, wait);
    if (!tail) return std::unexpected(Error::io(std::move(tail.error())));
    auto tensor = finish_tensor_payload(std::move(head), memory, *tail);
    if (!tensor) return std::unexpected(Error{ErrorKind::Codec, std::move(tensor.error())});
    return std::move(*tensor);
}

}  // namespace

std::expected<DecodedTensor, Error> read_tensor_payload(Connection& connection, size_t size,
                                                        const DataSink& sink,
                                                        const platform::CallWait& wait) {
    // The head, field by field: each read stops where the next field begins, so no data byte
    // lands in the payload buffer (at most the read-ahead holds some, and hands them on).
    std::span<uint8_t> front;
    DataPlacement placement = place_raw_data(front, size);
    while (placement.kind == DataPlacement::Kind::NeedMore) {
        auto read = connection.read_payload_piece(front.size(), placement.head_size - front.size(),
                                                  size, platform::kClientSpin, wait);
        if (!read) return std::unexpected(Error::io(std::move(read.error())));
        front = *read;
        placement = place_raw_data(front, size);
    }
    if (placement.kind == DataPlacement::Kind::Located) {
        if (auto head = decode_tensor_payload_head(front.first(placement.head_size))) {
            return read_placed_data(connection, size, std::move(*head), placement, sink, wait);
        }
    }
    // No raw data inside the payload, or a head that fails: the whole payload decides.
    auto payload = connection.read_payload_piece(front.size(), size - front.size(), size,
                                                 platform::kClientSpin, wait);
    if (!payload) return std::unexpected(Error::io(std::move(payload.error())));
    auto tensor = decode_tensor_payload(*payload);
    if (!tensor) return std::unexpected(Error{ErrorKind::Codec, std::move(tensor.error())});
    auto memory = sink_memory(sink, tensor->data.size());
    if (!memory) return std::unexpected(std::move(memory.error()));
    if (!memory->empty()) std::memcpy(memory->data(), tensor->data.data(), memory->size());
    tensor->data = *memory;
    return std::move(*tensor);
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
    if (!connection) return std::unexpected(Error::io(connection.error()));
    Attempt first = run_attempt(*connection, args, *extras, config_, wait, sink);
    if (first) return Response(std::move(*first), std::move(*connection), pool_);
    // A stopped wait or a failed sink may leave the exchange mid-frame: `connection` closes as it
    // goes.
    if (first.error().abandoned_exchange()) return std::unexpected(std::move(first.error()));
    if (!is_io(first.error())) {
        pool_.release(std::move(*connection));
        return std::unexpected(std::move(first.error()));
    }

    // The first connection failed mid-exchange (often one the server closed while it sat in
    // the pool): close it and try once more on a connection opened for this retry.
    *connection = Connection();
    auto fresh = Connection::open(config_.endpoint, wait);
    if (!fresh) return std::unexpected(Error::io(fresh.error()));
    Attempt second = run_attempt(*fresh, args, *extras, config_, wait, sink);
    if (!second) return std::unexpected(std::move(second.error()));
    return Response(std::move(*second), std::move(*fresh), pool_);
}

std::expected<Connection, Error> SocketClient::open_stream(const InferArguments& args,
                                                           const platform::CallWait& wait) {
    auto extras = parse_additional_inputs(args);
    if (!extras) return std::unexpected(extras.error());

    auto connection = Connection::open(config_.endpoint, wait);
    if (!connection) return std::unexpected(Error::io(connection.error()));
    auto request = encode_request(args, *extras, config_);
    if (!request) return std::unexpected(request.error());
    if (auto sent = send_request(*connection, args.model_id, RequestKind::Stream, *request, wait);
        !sent) {
        return std::unexpected(Error::from_io(ErrorKind::StreamSend, std::move(sent.error())));
    }
    return std::move(*connection);
}

// ---- Stream items -------------------------------------------------------------------------

namespace {
constexpr uint32_t kStreamError = 1;
constexpr uint32_t kStreamData = 2;

// A read of an open stream that fails is the stream's failure rather than the connection's: the
// stream stays open for the next item.
Error stream_read_failure(Error error) {
    if (error.kind == ErrorKind::Io) error.kind = ErrorKind::StreamRead;
    return error;
}
}  // namespace

std::expected<std::optional<DecodedTensor>, Error> read_stream_item(Connection& connection,
                                                                    const platform::CallWait& wait,
                                                                    const DataSink* sink) {
    auto header = read_header(connection, wait);
    if (!header) {
        return std::unexpected(Error::from_io(ErrorKind::StreamRead, std::move(header.error())));
    }
    if (header->payload_size == 0) return std::nullopt;
    if (sink != nullptr && header->status == kStreamData) {
        auto tensor = read_tensor_payload(connection, header->payload_size, *sink, wait);
        if (!tensor) return std::unexpected(stream_read_failure(std::move(tensor.error())));
        return std::optional<DecodedTensor>(std::move(*tensor));
    }
    auto payload = connection.read_payload(header->payload_size, platform::kClientSpin, wait);
    if (!payload) {
        return std::unexpected(Error::from_io(ErrorKind::StreamRead, std::move(payload.error())));
    }
    switch (header->status) {
        case kStreamError:
            return std::unexpected(Error{ErrorKind::Server, utf8_lossy(*payload)});
        case kStreamData: {
            auto tensor = decode_tensor_payload(*payload);
            if (!tensor) return std::unexpected(Error{ErrorKind::Codec, std::move(tensor.error())});
            return std::optional<DecodedTensor>(std::move(*tensor));
        }
        default:
            return std::nullopt;  // any other status ends the stream; its payload is dropped
    }
}

}  // namespace zelto
