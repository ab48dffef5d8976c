#include "hybrid/hybrid_exchange.hpp"

#include <algorithm>
#include <span>

#include "hybrid/io_runtime.hpp"
#include "platform/os_error.hpp"
#include "platform/socket.hpp"
#include "transport/config.hpp"
#include "transport/debug_notes.hpp"

namespace zelto::hybrid {
namespace {

constexpr const char* kEarlyEof = "early eof";
constexpr const char* kWriteZero = "write zero";

// The first allocation for a payload; later ones double what has arrived, so a size announced by
// the server costs memory only as its bytes come in.
constexpr size_t kFirstPayloadChunk = 64 * 1024;

std::string os_text(int error) {
    return platform::os_error(error).message;
}

}  // namespace

HybridExchange::HybridExchange(std::shared_ptr<ConnectionCell> cell, std::string socket_path,
                               const HybridRequest& request)
    : cell_(std::move(cell)),
      socket_path_(std::move(socket_path)),
      request_id_(request.metadata.request_id),
      frame_(encode_request_frame(request)) {}

HybridExchange::~HybridExchange() {
    if (guard_ && answer_pending()) break_connection();
}

std::optional<ExchangeResult> HybridExchange::try_complete(std::chrono::nanoseconds spin) {
    if (!guard_) {
        auto guard = cell_->try_lock();
        if (!guard) return std::nullopt;
        guard_.emplace(std::move(*guard));
    }
    platform::SpinBudget budget(spin);
    for (;;) {
        Step step = advance();
        if (step == Step::Over) return std::move(*result_);
        if (step == Step::NeedRead && budget.again()) continue;
        return std::nullopt;
    }
}

asio::awaitable<ExchangeResult> HybridExchange::finish(HybridExchange& exchange,
                                                       asio::io_context& io) {
    if (!exchange.guard_ && !exchange.stop_) {
        auto guard = co_await exchange.cell_->lock_for(&exchange);
        if (guard) exchange.guard_.emplace(std::move(*guard));
    }
    for (;;) {
        if (exchange.stop_) {
            exchange.over(std::unexpected(Error::stopped(*exchange.stop_)));
        }
        Step step = exchange.advance();
        if (step == Step::Over) co_return std::move(*exchange.result_);
        // Plain statements around co_await: g++ 12 mishandles temporaries of a co_await inside
        // a conditional expression.
        platform::Transfer transfer;
        if (step == Step::NeedWrite) {
            transfer = co_await exchange.stream().write_some(io, exchange.unwritten());
        } else {
            transfer = co_await exchange.stream().read_some(io, exchange.unread());
        }
        // A stop shut the stream down to end the wait: what the wait gave is not the server's.
        if (exchange.stop_) continue;
        exchange.account(transfer, step);
    }
}

void HybridExchange::stop(platform::WaitStop why) {
    if (phase_ == Phase::Over || stop_) return;
    stop_ = why;
    if (!guard_) {
        cell_->withdraw(this);
    } else if (**guard_) {
        break_connection();
    }
}

HybridExchange::Step HybridExchange::advance() {
    for (;;) {
        Step step = Step::Next;
        switch (phase_) {
            case Phase::Open:
                step = open();
                break;
            case Phase::Write:
                step = write();
                break;
            case Phase::ReadHeader:
                step = read_header();
                break;
            case Phase::ReadShortPayload:
                step = read_short_payload();
                break;
            case Phase::ReadPayload:
                step = read_payload();
                break;
            case Phase::Over:
                return Step::Over;
        }
        if (step != Step::Next) return step;
    }
}

HybridExchange::Step HybridExchange::open() {
    std::optional<PipeConnection>& connection = **guard_;
    if (connection && connection->broken) return fail(platform::broken_pipe_error().message);
    if (!connection) {
        // No waiting at open: a missing socket or a full backlog fails at once. The cell stays
        // empty on failure, so the next exchange tries to open again.
        auto stream =
            platform::connect_local(pipe_socket_path(socket_path_), platform::Blocking::No);
        if (!stream) {
            return fail("Failed to open named pipe '" + socket_path_ +
                        "': " + stream.error().message);
        }
        connection.emplace(*stream);
        debug_notes::note("hybrid connection to '" + socket_path_ + "' opened");
    }
    return next(Phase::Write);
}

// The header fields and the body leave in one write: the peer reads the same 52 bytes in the
// same order, and a small frame costs one system call instead of four.
HybridExchange::Step HybridExchange::write() {
    while (done_ < frame_.size()) {
        Step step = account(stream().try_write(unwritten()), Step::NeedWrite);
        if (step != Step::Next) return step;
    }
    return next(Phase::ReadHeader);
}

HybridExchange::Step HybridExchange::receive(std::span<uint8_t> out, size_t at_least) {
    while (done_ < at_least) {
        Step step = account(stream().try_read(out.subspan(done_)), Step::NeedRead);
        if (step != Step::Next) return step;
    }
    return Step::Next;
}

// A server that closes its end (with the request read or not) shows as the end of the stream.
HybridExchange::Step HybridExchange::account(const platform::Transfer& transfer, Step waiting) {
    using Outcome = platform::Transfer::Outcome;
    switch (transfer.outcome) {
        case Outcome::NotReady:
            return waiting;
        case Outcome::Ended:
            return fail(kEarlyEof);
        case Outcome::Failed:
            return fail(os_text(transfer.error));
        case Outcome::Moved:
            break;
    }
    if (transfer.bytes == 0) return fail(waiting == Step::NeedWrite ? kWriteZero : kEarlyEof);
    done_ += transfer.bytes;
    return Step::Next;
}

// The header is read together with up to 40 payload bytes, so a usual answer takes one system
// call. Bytes past the end of a shorter frame are kept for the next exchange.
HybridExchange::Step HybridExchange::read_header() {
    std::vector<uint8_t>& read_ahead = (*guard_)->value().read_ahead;
    if (done_ == 0 && !read_ahead.empty()) {
        // At most 40 bytes can be left over, and they are all taken here.
        done_ = std::min(read_ahead.size(), head_.size());
        std::copy_n(read_ahead.begin(), done_, head_.begin());
        read_ahead.erase(read_ahead.begin(), read_ahead.begin() + static_cast<long>(done_));
    }
    if (Step step = receive(head_, ResponseHeader::kSize); step != Step::Next) return step;
    header_ = ResponseHeader::decode(head_.data());
    const size_t size = header_.payload_size;
    const size_t frame_end = ResponseHeader::kSize + std::min(size, kHybridResponseSize);
    if (done_ > frame_end) {
        read_ahead.insert(read_ahead.end(), head_.begin() + static_cast<long>(frame_end),
                          head_.begin() + static_cast<long>(done_));
        done_ = frame_end;
    }
    if (size <= kHybridResponseSize) {
        phase_ = Phase::ReadShortPayload;
        return Step::Next;
    }
    // A longer payload (an error text) continues in a buffer of its own.
    payload_.assign(head_.begin() + ResponseHeader::kSize, head_.begin() + done_);
    return next_keeping(Phase::ReadPayload, payload_.size());
}

HybridExchange::Step HybridExchange::read_short_payload() {
    std::span<uint8_t> frame = short_frame();
    if (Step step = receive(frame, frame.size()); step != Step::Next) return step;
    return interpret(frame.subspan(ResponseHeader::kSize));
}

HybridExchange::Step HybridExchange::read_payload() {
    const size_t size = header_.payload_size;
    while (done_ < size) {
        if (done_ == payload_.size()) {
            payload_.resize(std::min(size, std::max(kFirstPayloadChunk, done_ * 2)));
        }
        if (Step step = receive(payload_, payload_.size()); step != Step::Next) return step;
    }
    return interpret(payload_);
}

// The whole frame has been read, so the connection stays in step whatever it said, unless the
// answer is another request's: then this request's answer may still be on its way.
HybridExchange::Step HybridExchange::interpret(std::span<const uint8_t> payload) {
    if (header_.status != 0) {
        return over(std::unexpected(Error{ErrorKind::Server, failure_text(payload)}));
    }
    auto response = HybridResponse::decode(payload);
    if (!response) {
        return over(std::unexpected(Error{ErrorKind::Codec, std::move(response.error())}));
    }
    if (response->metadata.request_id != request_id_) {
        break_connection();
        return over(std::unexpected(Error{
            ErrorKind::Exchange, "Response id " + std::to_string(response->metadata.request_id) +
                                     " does not match request id " + std::to_string(request_id_)}));
    }
    return over(std::move(*response));
}

std::span<uint8_t> HybridExchange::short_frame() {
    return std::span(head_).first(ResponseHeader::kSize + header_.payload_size);
}

HybridExchange::Step HybridExchange::next(Phase phase) {
    return next_keeping(phase, 0);
}

HybridExchange::Step HybridExchange::next_keeping(Phase phase, size_t done) {
    phase_ = phase;
    done_ = done;
    return Step::Next;
}

HybridExchange::Step HybridExchange::fail(std::string text) {
    if (answer_pending()) break_connection();
    return over(std::unexpected(Error{ErrorKind::Exchange, std::move(text)}));
}

bool HybridExchange::answer_pending() const {
    switch (phase_) {
        case Phase::Open:
            return false;
        case Phase::Write:
            return done_ > 0;
        case Phase::ReadHeader:
        case Phase::ReadShortPayload:
        case Phase::ReadPayload:
            return true;
        case Phase::Over:
            return false;
    }
    return false;
}

void HybridExchange::break_connection() {
    (*guard_)->value().mark_broken();
    debug_notes::note("hybrid connection to '" + socket_path_ +
                      "' broken: its exchange ended mid-answer, so no later call uses it");
}

HybridExchange::Step HybridExchange::over(ExchangeResult result) {
    result_ = std::move(result);
    phase_ = Phase::Over;
    // The lock is released as soon as the exchange is over; the connection stays in the cell.
    guard_.reset();
    return Step::Over;
}

platform::AsyncStream& HybridExchange::stream() const {
    return (**guard_)->stream;
}

std::span<const uint8_t> HybridExchange::unwritten() const {
    return std::span<const uint8_t>(frame_).subspan(done_);
}

std::span<uint8_t> HybridExchange::unread() {
    switch (phase_) {
        case Phase::ReadHeader:
            return std::span(head_).subspan(done_);
        case Phase::ReadShortPayload:
            return short_frame().subspan(done_);
        default:
            return std::span(payload_).subspan(done_);
    }
}

}  // namespace zelto::hybrid
