// The engine behind zelto_sdk.aio.ZeltoClient: the blocking client's exchange (the same request
// bytes, the same answer reader, the same one retry on a fresh connection) run as coroutines on
// the asyncio runtime, so any number of calls wait at once on its one I/O thread.
#pragma once

#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>

#include "aio/call_control.hpp"
#include "aio/runtime.hpp"
#include "platform/async_stream.hpp"
#include "platform/fork.hpp"
#include "transport/answer_reader.hpp"
#include "transport/config.hpp"
#include "transport/errors.hpp"
#include "transport/socket_client.hpp"

namespace zelto::aio {

// An open connection of the asyncio clients: the stream, whose transfers wait on the runtime,
// and the reader of its answers (with what it read ahead).
struct AsyncConnection {
    std::unique_ptr<platform::AsyncStream> stream;
    AnswerReader reader;
};

// Idle connections as ConnectionPool keeps them: oldest first, at most max_pool_size, only those
// in step with their peer; a forked child forgets the parent's.
class AsyncConnectionPool {
public:
    explicit AsyncConnectionPool(uint64_t max_pool_size) : max_pool_size_(max_pool_size) {}
    // The oldest idle connection in step, if any.
    std::optional<AsyncConnection> take();
    // Gives back a connection whose last answer was read to its end.
    void release(AsyncConnection connection);
    // Closes the idle connections; a connection given back later is closed too.
    void close();

private:
    void forget_inherited();  // with mutex_ held

    uint64_t max_pool_size_;
    std::mutex mutex_;
    std::deque<AsyncConnection> idle_;
    platform::ProcessStamp process_;
};

// An answer: the decoded output, whose data lies in its connection's payload buffer (or the
// sink's memory); the connection goes back to the pool when the answer is destroyed.
class AsyncAnswer {
public:
    AsyncAnswer(DecodedTensor output, AsyncConnection connection, AsyncConnectionPool& pool)
        : output_(std::move(output)), connection_(std::move(connection)), pool_(&pool) {}
    AsyncAnswer(AsyncAnswer&& other) noexcept
        : output_(std::move(other.output_)),
          connection_(std::move(other.connection_)),
          pool_(std::exchange(other.pool_, nullptr)) {}
    AsyncAnswer& operator=(AsyncAnswer&&) = delete;
    ~AsyncAnswer() {
        if (pool_ != nullptr) pool_->release(std::move(connection_));
    }

    const DecodedTensor& output() const { return output_; }

private:
    DecodedTensor output_;
    AsyncConnection connection_;
    AsyncConnectionPool* pool_;
};

// A request's bytes on their way out: small requests joined into one piece. Written first by
// attempts that never wait (on the caller's thread), the rest through the runtime.
class OutgoingRequest {
public:
    explicit OutgoingRequest(EncodedRequest request);
    OutgoingRequest(const OutgoingRequest&) = delete;
    OutgoingRequest& operator=(const OutgoingRequest&) = delete;

    bool done() const { return left_.empty(); }
    // Writes what the stream takes without waiting; the failure, if one came.
    std::optional<IoError> write_now(platform::AsyncStream& stream);
    // Writes the rest through the runtime (on its I/O thread).
    asio::awaitable<std::expected<void, IoError>> write_rest(Runtime& runtime,
                                                             AsyncConnection& connection,
                                                             CallControl& control);

private:
    // Takes in one transfer's outcome; its failure, if it failed.
    std::optional<IoError> took(const platform::Transfer& moved);

    EncodedRequest request_;
    std::vector<uint8_t> joined_;
    std::deque<std::span<const uint8_t>> left_;
};

// What a single-shot call does on the caller's thread before the runtime takes over: the
// additional inputs checked, and with a pooled connection the request encoded and written as far
// as the socket takes it at once, so the server starts on it while the runtime is being woken.
struct InferStart {
    std::optional<Error> failed;  // the call is over before it started
    ParsedExtras extras;
    std::optional<AsyncConnection> connection;  // a pooled one, if the pool had one
    std::optional<OutgoingRequest> outgoing;    // the request on `connection`, maybe half sent
    std::optional<IoError> write_failure;       // the first write on `connection` failed
    bool answer_begun = false;                  // answer_now() began reading the answer
    std::optional<Error> answer_failure;        // ... and it failed
};

class AsyncSocketClient {
public:
    explicit AsyncSocketClient(ClientConfig config)
        : config_(std::move(config)), pool_(config_.max_pool_size) {}

    const ClientConfig& config() const { return config_; }
    void close() { pool_.close(); }

    // The part of a single-shot call made on the caller's thread (see InferStart).
    void start(const InferArguments& args, InferStart& start);
    // After start(), the answer of a request written whole, taken on the caller's thread if it
    // comes whole within `spin`. Otherwise the call goes on in infer() from where this left it (the
    // answer half read, or its failure, which infer() handles as the first attempt's).
    std::optional<AsyncAnswer> answer_now(InferStart& start, const DataSink* sink,
                                          std::chrono::nanoseconds spin);
    // The rest of it, as SocketClient::infer does it, on the runtime's I/O thread. The
    // arguments, the sink, `control` and `start` must outlive the coroutine. A call that
    // `control` stopped ends with Interrupted or TimedOut and closes its connection.
    asio::awaitable<std::expected<AsyncAnswer, Error>> infer(Runtime& runtime,
                                                             const InferArguments& args,
                                                             const DataSink* sink,
                                                             CallControl& control,
                                                             InferStart& start);

    // Opens a connection for a stream and sends the stream request on it.
    asio::awaitable<std::expected<AsyncConnection, Error>> open_stream(Runtime& runtime,
                                                                       const InferArguments& args,
                                                                       CallControl& control);

private:
    ClientConfig config_;
    AsyncConnectionPool pool_;
};

// Reads the next stream item from `connection` (see read_stream_item).
asio::awaitable<FrameResult> read_stream_item(Runtime& runtime, AsyncConnection& connection,
                                              CallControl& control, const DataSink* sink);

}  // namespace zelto::aio
