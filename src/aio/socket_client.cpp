#include "aio/socket_client.hpp"

#include <array>
#include <cstring>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/nonblocking_socket.hpp"
#include "platform/os_error.hpp"
#include "platform/precise_sleep.hpp"
#include "platform/wait_policy.hpp"
#include "transport/connection.hpp"
#include "transport/debug_notes.hpp"

namespace zelto::aio {

// ---- AsyncConnectionPool --------------------------------------------------------------------

void AsyncConnectionPool::forget_inherited() {
    if (!process_.in_other_process()) return;
    // Closing only drops this process's references; the parent's connections stay intact.
    idle_.clear();
    process_ = platform::ProcessStamp();
}

std::optional<AsyncConnection> AsyncConnectionPool::take() {
    for (;;) {
        AsyncConnection connection;
        {
            std::lock_guard lock(mutex_);
            forget_inherited();
            if (idle_.empty()) return std::nullopt;
            connection = std::move(idle_.front());
            idle_.pop_front();
        }
        // In step: nothing unread, and neither bytes nor the end of the stream waiting.
        if (!connection.reader.receive_buffer().has_unread_bytes() &&
            platform::try_peek(connection.stream->handle()).not_ready())
            return connection;
        // `connection` closes here, outside the lock.
    }
}

void AsyncConnectionPool::release(AsyncConnection connection) {
    if (!connection.stream || connection.reader.receive_buffer().has_unread_bytes()) return;
    connection.reader.receive_buffer().shed_large_buffer();
    std::lock_guard lock(mutex_);
    forget_inherited();
    if (idle_.size() < max_pool_size_) idle_.push_back(std::move(connection));
}

void AsyncConnectionPool::close() {
    std::deque<AsyncConnection> closing;
    {
        std::lock_guard lock(mutex_);
        max_pool_size_ = 0;
        closing.swap(idle_);
    }
}

namespace {

using platform::Transfer;

// The connection's stream for the length of one step: a stop ends its transfers.
class Watched {
public:
    Watched(CallControl& control, AsyncConnection& connection) : control_(control) {
        control_.watch(
            [stream = connection.stream.get()](platform::WaitStop) { stream->shut_down(); });
    }
    ~Watched() { control_.watch({}); }
    Watched(const Watched&) = delete;
    Watched& operator=(const Watched&) = delete;

private:
    CallControl& control_;
};

// A transfer's failure as the blocking client reports it.
IoError transfer_error(const Transfer& transfer) {
    return platform::os_error(transfer.error);
}

// Connects to `endpoint` (on the connect thread). A local listener whose every connection slot
// is taken (a full backlog, every pipe instance in use) refuses at once; a thousand calls that
// connect at once meet that, so the connect is tried again every millisecond for as long as the
// call may wait.
std::expected<platform::StreamHandle, IoError> connect_waiting_while_busy(
    const Endpoint& endpoint, const platform::CallWait& wait) {
    static constexpr auto kRetryAfter = std::chrono::milliseconds(1);
    platform::PreciseSleep sleeper;
    for (;;) {
        auto connection = Connection::open(endpoint, wait);
        if (connection) return connection->release();
        if (endpoint.kind == Endpoint::Kind::Tcp ||
            connection.error().category != IoCategory::WouldBlock)
            return std::unexpected(std::move(connection.error()));
        auto stop = platform::wait_in_slices(wait, [&](platform::WaitSlice&) {
            sleeper.sleep_for(kRetryAfter);
            return platform::SliceResult::Ready;
        });
        if (stop) return std::unexpected(IoError::stopped(*stop));
    }
}

// Opens a connection to `endpoint` on the connect thread (a connect may block there under the
// call's deadline and cancel flag) and resumes on the I/O thread.
asio::awaitable<std::expected<AsyncConnection, IoError>> open_connection(Runtime& runtime,
                                                                         const Endpoint& endpoint,
                                                                         CallControl& control) {
    const platform::CallWait wait = control.blocking_wait();
    auto opened = co_await asio::co_spawn(
        runtime.connector(),
        [&]() -> asio::awaitable<std::expected<platform::StreamHandle, IoError>> {
            co_return connect_waiting_while_busy(endpoint, wait);
        },
        asio::use_awaitable);
    if (!opened) {
        // A stop noticed by the connect reads as Interrupted; the stop's own reason wins.
        if (auto why = control.stopped()) co_return std::unexpected(IoError::stopped(*why));
        co_return std::unexpected(std::move(opened.error()));
    }
    debug_notes::note_everyday([&] { return "connected to " + endpoint.display(); });
    AsyncConnection connection;
    connection.stream = std::make_unique<platform::AsyncStream>(*opened);
    co_return connection;
}

}  // namespace

OutgoingRequest::OutgoingRequest(EncodedRequest request) : request_(std::move(request)) {
    static constexpr size_t kJoinUpTo = 64 * 1024;
    const auto pieces = request_.pieces();
    size_t total = 0;
    for (const auto& piece : pieces) total += piece.size();
    if (total <= kJoinUpTo) {
        // One write for a small request: header, framing and data in one segment.
        joined_.reserve(total);
        for (const auto& piece : pieces) joined_.insert(joined_.end(), piece.begin(), piece.end());
        left_.push_back(joined_);
    } else {
        for (const auto& piece : pieces)
            if (!piece.empty()) left_.push_back(piece);
    }
}

std::optional<IoError> OutgoingRequest::took(const platform::Transfer& moved) {
    if (moved.outcome == platform::Transfer::Outcome::Failed)
        return platform::os_error(moved.error);
    if (moved.outcome == platform::Transfer::Outcome::Ended || moved.bytes == 0)
        return platform::broken_pipe_error();
    left_.front() = left_.front().subspan(moved.bytes);
    if (left_.front().empty()) left_.pop_front();
    return std::nullopt;
}

std::optional<IoError> OutgoingRequest::write_now(platform::AsyncStream& stream) {
    while (!done()) {
        const platform::Transfer moved = stream.try_write(left_.front());
        if (moved.outcome == platform::Transfer::Outcome::NotReady) return std::nullopt;
        if (auto failed = took(moved)) return failed;
    }
    return std::nullopt;
}

asio::awaitable<std::expected<void, IoError>> OutgoingRequest::write_rest(
    Runtime& runtime, AsyncConnection& connection, CallControl& control) {
    Watched watched(control, connection);
    while (!done()) {
        Transfer moved = connection.stream->try_write(left_.front());
        if (moved.outcome == Transfer::Outcome::NotReady)
            moved = co_await connection.stream->write_some(runtime.io(), left_.front());
        if (auto why = control.stopped()) co_return std::unexpected(IoError::stopped(*why));
        if (auto failed = took(moved)) co_return std::unexpected(std::move(*failed));
    }
    co_return std::expected<void, IoError>();
}

namespace {

// Hands the reader what a read did (anything but NotReady).
void take_in(AnswerReader& reader, const Transfer& moved) {
    switch (moved.outcome) {
        case Transfer::Outcome::Moved:
            reader.commit(moved.bytes);
            break;
        case Transfer::Outcome::Ended:
            reader.commit(0);
            break;
        default:
            reader.fail(transfer_error(moved));
            break;
    }
}

// Receives until the frame begun on the connection's reader is done.
asio::awaitable<FrameResult> finish_frame(Runtime& runtime, AsyncConnection& connection,
                                          CallControl& control) {
    Watched watched(control, connection);
    Runtime::Waiting waiting(runtime);
    AnswerReader& reader = connection.reader;
    bool first = true;
    while (!reader.done()) {
        std::span<uint8_t> into = reader.next_buffer();
        Transfer moved = connection.stream->try_read(into);
        // The only exchange waiting on the runtime tries again for a while before it parks in
        // the reactor: an answer that comes within that time is taken without the I/O thread
        // being put to sleep and woken again (tens of microseconds on a virtual machine), as
        // the blocking client does.
        if (first && runtime.waiting_exchanges() == 1) {
            platform::SpinBudget budget(platform::kClientSpin);
            while (moved.outcome == Transfer::Outcome::NotReady && budget.again())
                moved = connection.stream->try_read(into);
        }
        first = false;
        if (moved.outcome == Transfer::Outcome::NotReady)
            moved = co_await connection.stream->read_some(runtime.io(), into);
        if (auto why = control.stopped()) {
            reader.fail(IoError::stopped(*why));
            break;
        }
        take_in(reader, moved);
    }
    co_return reader.take_result();
}

std::expected<DecodedTensor, Error> tensor_of(FrameResult frame) {
    if (!frame) return std::unexpected(std::move(frame.error()));
    return std::move(**frame);
}

// One attempt on `connection`: encode, send, read the answer.
asio::awaitable<std::expected<DecodedTensor, Error>> run_attempt(
    Runtime& runtime, AsyncConnection& connection, const InferArguments& args,
    const ParsedExtras& extras, const ClientConfig& config, const DataSink* sink,
    CallControl& control, OutgoingRequest* outgoing, bool answer_begun = false) {
    std::optional<OutgoingRequest> fresh;
    if (outgoing == nullptr) {
        auto request = encode_request(args, extras, config, RequestKind::Infer);
        if (!request) co_return std::unexpected(std::move(request.error()));
        outgoing = &fresh.emplace(std::move(*request));
    }
    if (auto sent = co_await outgoing->write_rest(runtime, connection, control); !sent)
        co_return std::unexpected(Error::io(std::move(sent.error())));
    if (!answer_begun) connection.reader.begin(AnswerReader::Frame::Answer, sink);
    co_return tensor_of(co_await finish_frame(runtime, connection, control));
}

}  // namespace

void AsyncSocketClient::start(const InferArguments& args, InferStart& start) {
    auto extras = parse_additional_inputs(args);
    if (!extras) {
        start.failed = std::move(extras.error());
        return;
    }
    start.extras = std::move(*extras);
    start.connection = pool_.take();
    if (!start.connection) return;
    auto request = encode_request(args, start.extras, config_, RequestKind::Infer);
    if (!request) {
        start.failed = std::move(request.error());
        pool_.release(std::move(*start.connection));
        start.connection.reset();
        return;
    }
    start.outgoing.emplace(std::move(*request));
    start.write_failure = start.outgoing->write_now(*start.connection->stream);
}

std::optional<AsyncAnswer> AsyncSocketClient::answer_now(InferStart& start, const DataSink* sink,
                                                         std::chrono::nanoseconds spin) {
    if (start.failed || !start.connection || start.write_failure || !start.outgoing->done())
        return std::nullopt;
    AsyncConnection& connection = *start.connection;
    AnswerReader& reader = connection.reader;
    reader.begin(AnswerReader::Frame::Answer, sink);
    start.answer_begun = true;
    // `spin` bounds the whole attempt, bytes arriving or not: a large answer that keeps coming
    // is read on by the runtime, not on the loop's thread.
    platform::SpinBudget budget(spin);
    while (!reader.done()) {
        const Transfer moved = connection.stream->try_read(reader.next_buffer());
        if (moved.outcome != Transfer::Outcome::NotReady) take_in(reader, moved);
        if (!reader.done() && !budget.again()) return std::nullopt;
    }
    auto output = tensor_of(reader.take_result());
    if (!output) {
        start.answer_failure = std::move(output.error());
        return std::nullopt;
    }
    AsyncAnswer answer(std::move(*output), std::move(connection), pool_);
    start.connection.reset();
    return answer;
}

asio::awaitable<std::expected<AsyncAnswer, Error>> AsyncSocketClient::infer(
    Runtime& runtime, const InferArguments& args, const DataSink* sink, CallControl& control,
    InferStart& start) {
    if (start.failed) co_return std::unexpected(std::move(*start.failed));
    const ParsedExtras& extras = start.extras;
    AsyncConnection connection;
    std::expected<DecodedTensor, Error> first = std::unexpected(Error{});
    if (start.connection) {
        connection = std::move(*start.connection);
        if (start.write_failure) {
            first = std::unexpected(Error::io(std::move(*start.write_failure)));
        } else if (start.answer_failure) {
            first = std::unexpected(std::move(*start.answer_failure));
        } else {
            first = co_await run_attempt(runtime, connection, args, extras, config_, sink, control,
                                         &*start.outgoing, start.answer_begun);
        }
    } else {
        auto opened = co_await open_connection(runtime, config_.endpoint, control);
        if (!opened) co_return std::unexpected(Error::io(std::move(opened.error())));
        connection = std::move(*opened);
        first = co_await run_attempt(runtime, connection, args, extras, config_, sink, control,
                                     nullptr);
    }
    if (first) co_return AsyncAnswer(std::move(*first), std::move(connection), pool_);
    // A stopped call or a failed sink may leave the exchange mid-frame: the connection closes.
    if (first.error().abandoned_exchange()) co_return std::unexpected(std::move(first.error()));
    if (first.error().kind != ErrorKind::Io) {
        pool_.release(std::move(connection));
        co_return std::unexpected(std::move(first.error()));
    }

    // The first connection failed mid-exchange: try once more on a connection of its own.
    connection = AsyncConnection();
    debug_notes::note("retrying the request to " + config_.endpoint.display() +
                      " on a new connection after: " + first.error().message);
    auto fresh = co_await open_connection(runtime, config_.endpoint, control);
    if (!fresh) co_return std::unexpected(Error::io(std::move(fresh.error())));
    auto second =
        co_await run_attempt(runtime, *fresh, args, extras, config_, sink, control, nullptr);
    if (!second) co_return std::unexpected(std::move(second.error()));
    co_return AsyncAnswer(std::move(*second), std::move(*fresh), pool_);
}

asio::awaitable<std::expected<AsyncConnection, Error>> AsyncSocketClient::open_stream(
    Runtime& runtime, const InferArguments& args, CallControl& control) {
    auto extras = parse_additional_inputs(args);
    if (!extras) co_return std::unexpected(std::move(extras.error()));
    auto opened = co_await open_connection(runtime, config_.endpoint, control);
    if (!opened) co_return std::unexpected(Error::io(std::move(opened.error())));
    auto request = encode_request(args, *extras, config_, RequestKind::Stream);
    if (!request) co_return std::unexpected(std::move(request.error()));
    OutgoingRequest outgoing(std::move(*request));
    if (auto sent = co_await outgoing.write_rest(runtime, *opened, control); !sent)
        co_return std::unexpected(Error::from_io(ErrorKind::StreamSend, std::move(sent.error())));
    co_return std::move(*opened);
}

asio::awaitable<FrameResult> read_stream_item(Runtime& runtime, AsyncConnection& connection,
                                              CallControl& control, const DataSink* sink) {
    connection.reader.begin(AnswerReader::Frame::StreamItem, sink);
    co_return co_await finish_frame(runtime, connection, control);
}

}  // namespace zelto::aio
