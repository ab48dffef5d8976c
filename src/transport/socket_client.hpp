// The engine behind ZeltoClient: connection pool, single-shot exchange with its one retry,
// and streams.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/call_wait.hpp"
#include "platform/fork.hpp"
#include "transport/config.hpp"
#include "transport/connection.hpp"
#include "transport/errors.hpp"
#include "transport/messages.hpp"
#include "transport/tensor.hpp"

namespace zelto {

// A tensor as the caller handed it: the dtype text is parsed by the engine, not the binding.
struct InputTensor {
    std::vector<int64_t> shape;
    std::string dtype;
    std::vector<uint8_t> data;  // the tensor's bytes, unless `borrowed` is set
    // The caller's own immutable bytes, used in place of `data` for the length of the call, so
    // a large input is sent without being copied first.
    std::optional<std::span<const uint8_t>> borrowed;

    std::span<const uint8_t> bytes() const { return borrowed ? *borrowed : data; }
};

struct InferArguments {
    uint32_t model_id = 0;
    InputTensor input;
    std::unordered_map<std::string, InputTensor> additional_inputs;
    std::optional<std::string> session_id;
};

// The additional inputs with their dtypes parsed, as views into the caller's arguments: checked
// before a connection is taken, so a bad one costs no connect.
struct ParsedExtras {
    std::vector<NamedTensorView> views;
};
std::expected<ParsedExtras, Error> parse_additional_inputs(const InferArguments& args);

// A request ready to send: the frame header (model id, kind, body length) and the body, encoded
// around the caller's input data, which stays where it is until it is written.
struct EncodedRequest {
    std::array<uint8_t, FrameHeader::kSize> header{};
    BodyAroundData body;
    std::span<const uint8_t> data;

    // The request's bytes in the order they are sent: header, framing before the data, the
    // data, framing after it.
    std::array<std::span<const uint8_t>, 4> pieces() const;
};

// Parses the main dtype, then builds and encodes the body (the preparation made once the
// connection was obtained, so a connect failure is reported before a bad dtype).
std::expected<EncodedRequest, Error> encode_request(const InferArguments& args,
                                                    const ParsedExtras& extras,
                                                    const ClientConfig& config, RequestKind kind);

// Idle connections, oldest first, at most max_pool_size of them. A released connection gives up
// a large payload buffer before it waits in the pool.
//
// Only connections in step with their peer are reused: one released with bytes read past its
// answer is closed, and an idle one that received bytes or the end of the stream while it sat
// in the pool is closed when it is taken (its next answer would be the wrong one). In a process
// forked after the pool was made, the inherited idle connections are the parent's too: the pool
// forgets them, closing only this process's descriptors, and opens its own.
class ConnectionPool {
public:
    explicit ConnectionPool(uint64_t max_pool_size) : max_pool_size_(max_pool_size) {}
    // The oldest idle connection in step, else a new one opened under `wait`.
    std::expected<Connection, IoError> acquire(const Endpoint& endpoint,
                                               const platform::CallWait& wait);
    // Gives back a connection whose last exchange was read to its end.
    void release(Connection connection);
    size_t idle_count() const;
    // Closes the idle connections; a connection given back later is closed too.
    void close();

private:
    void forget_inherited();  // with mutex_ held

    uint64_t max_pool_size_;
    mutable std::mutex mutex_;
    std::deque<Connection> idle_;
    platform::ProcessStamp process_;  // the process the idle connections belong to
};

// The answer to one call: the decoded output, whose data lies in the payload buffer of the
// connection that received it (or in the memory of the call's sink). The connection goes back to
// the pool when the response is destroyed, so the output must be used before then, and a
// response must not outlive its client.
class Response {
public:
    Response(DecodedTensor output, Connection connection, ConnectionPool& pool)
        : output_(std::move(output)), connection_(std::move(connection)), pool_(&pool) {}
    Response(Response&& other) noexcept
        : output_(std::move(other.output_)),
          connection_(std::move(other.connection_)),
          pool_(std::exchange(other.pool_, nullptr)) {}
    Response& operator=(Response&&) = delete;
    ~Response();

    const DecodedTensor& output() const { return output_; }

private:
    DecodedTensor output_;
    Connection connection_;
    ConnectionPool* pool_;  // null once moved from
};

class SocketClient {
public:
    explicit SocketClient(ClientConfig config)
        : config_(std::move(config)), pool_(config_.max_pool_size) {}

    const ClientConfig& config() const { return config_; }
    const ConnectionPool& pool() const { return pool_; }
    // Closes the pool's connections; the client keeps its configuration. No call may run
    // meanwhile or after.
    void close() { pool_.close(); }

    // Single-shot inference (request kind 1), retried once on a fresh connection after an
    // I/O failure. Every wait of the call runs under `wait`; a call it stops (Interrupted,
    // TimedOut) is not retried, and its connection is closed. With a sink, the output's data is
    // read into the sink's memory (see read_tensor_payload; each attempt asks anew); a sink that
    // fails ends the call the same way.
    std::expected<Response, Error> infer(const InferArguments& args, const platform::CallWait& wait,
                                         const DataSink* sink = nullptr);

    // Sends a stream request (kind 2) on a new connection and hands that connection over. A
    // failed write of the request is a StreamSend error.
    std::expected<Connection, Error> open_stream(const InferArguments& args,
                                                 const platform::CallWait& wait);

private:
    // The call's error, noted for the debug log when it is a time-out.
    std::unexpected<Error> timed_out_noted(Error error) const;

    ClientConfig config_;
    ConnectionPool pool_;
};

// The frame header's length field for a body of `body_size` bytes. The field has 32 bits; a
// longer body would be framed with a wrong length and desynchronise the stream, so it is refused
// with a Codec error before anything is sent.
std::expected<uint32_t, Error> frame_length(size_t body_size);

// One step of a stream: a tensor, std::nullopt at the end of the stream, or an error: Server for
// an error frame, Codec for a frame that does not decode, StreamRead for a failed read, Interrupted
// or TimedOut when `wait` stopped the read, SinkFailed when the sink did (the connection may
// then be mid-frame: close it). The tensor's data lies in the connection's payload buffer, valid
// until its next read, or with a sink in the sink's memory.
std::expected<std::optional<DecodedTensor>, Error> read_stream_item(Connection& connection,
                                                                    const platform::CallWait& wait,
                                                                    const DataSink* sink = nullptr);

// Reads a tensor payload of `size` bytes (the response header was read) and decodes it, with
// the data in memory from `sink`: the same result, checks and messages as reading the whole
// payload and decoding it, and the payload is read to its end unless the read fails. How the
// data reaches the sink's memory, and when memory is asked for, is AnswerReader's.
std::expected<DecodedTensor, Error> read_tensor_payload(Connection& connection, size_t size,
                                                        const DataSink& sink,
                                                        const platform::CallWait& wait);

}  // namespace zelto
