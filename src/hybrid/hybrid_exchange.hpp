// One hybrid request on the client's connection: lock the cell, open the connection if there is
// none yet, write the 52-byte request frame, read the response frame.
//
// The exchange is one state machine whose every step moves bytes through the connection's
// platform::AsyncStream, in one of two ways. The calling thread first drives it with attempts
// that never wait (try_complete): with the connection lock free and a server that answers
// within the spin time, the whole request is done there, with no hand-off to another thread.
// Whatever remains then runs as an operation of the client's IoRuntime (finish): each step that
// cannot move at once becomes one asynchronous transfer of the stream, completed by the
// runtime's workers, which wake the parked caller. The same steps, texts and broken-connection
// rules hold for both ways (account() takes in what either did), on every system.
//
// An exchange that ends after the first byte of its request left and before the last byte of the
// answer arrived (a failure, a stop, an exchange abandoned half way) marks the connection broken,
// and so does an answer to another request: what the server sends next could belong to this
// exchange. Later exchanges on a broken connection fail at once without touching it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "hybrid/connection_cell.hpp"
#include "hybrid/control_messages.hpp"
#include "platform/async_stream.hpp"
#include "platform/call_wait.hpp"
#include "platform/wait_policy.hpp"
#include "transport/errors.hpp"

namespace zelto::hybrid {

// The decoded response, or the failure: an Exchange error ("Failed to open named pipe '{}': {}",
// "write zero", "early eof", a platform error text (the broken-pipe text for a broken
// connection), "Response id X does not match request id Y"), a Server error with the server's
// failure text, a Codec error with the decoder's, or the stop's Interrupted or TimedOut.
using ExchangeResult = std::expected<HybridResponse, Error>;

class HybridExchange {
public:
    // Takes its own share of the cell and its own copy of the path.
    HybridExchange(std::shared_ptr<ConnectionCell> cell, std::string socket_path,
                   const HybridRequest& request);
    // An exchange given up between its request and the end of its answer breaks the connection.
    ~HybridExchange();
    // finish() refers to the exchange where it lies.
    HybridExchange(const HybridExchange&) = delete;
    HybridExchange& operator=(const HybridExchange&) = delete;

    // Drives the exchange on the calling thread for at most `spin` of waiting for an answer.
    // Returns the result when the exchange is over, or nothing when it has to wait (the lock is
    // taken, the stream cannot move bytes now): then finish() takes it from where it stopped.
    std::optional<ExchangeResult> try_complete(
        std::chrono::nanoseconds spin = platform::kHybridSpin);

    // The rest of the exchange, run on an executor of `io` while `exchange` lives (by
    // IoRuntime::run_to_completion, or on the asyncio clients' runtime). Every wait goes through
    // `io`: the lock's queue, or a transfer of the stream on its event loop.
    static asio::awaitable<ExchangeResult> finish(HybridExchange& exchange, asio::io_context& io);

    // Ends a finish() that waits: a queued lock request is withdrawn; a wait on the connection
    // completes because the connection is marked broken (and shut down). finish() then ends with
    // the stop's text. For the runtime's stop function; does nothing once the exchange is over.
    void stop(platform::WaitStop why);
    // Why the exchange was stopped, if it was.
    std::optional<platform::WaitStop> stopped() const { return stop_; }

private:
    enum class Phase { Open, Write, ReadHeader, ReadShortPayload, ReadPayload, Over };
    // What stopped advance(): the exchange is over, or the stream cannot move bytes now.
    enum class Step { Over, NeedWrite, NeedRead, Next };

    // Moves the exchange forward as far as it goes without waiting. Needs the lock.
    Step advance();
    Step open();
    Step write();
    Step read_header();
    Step read_short_payload();
    Step read_payload();
    Step interpret(std::span<const uint8_t> payload);
    // Reads into `out` from done_ on until at least `at_least` bytes of it are there.
    Step receive(std::span<uint8_t> out, size_t at_least);
    // Takes in what an attempt or a transfer did: Next when bytes moved, `waiting` when nothing
    // could move, or the end of the exchange.
    Step account(const platform::Transfer& transfer, Step waiting);
    Step next(Phase phase);
    Step next_keeping(Phase phase, size_t done);
    // Ends the exchange with an Exchange error of `text`; the connection counts as broken if the
    // request had begun to leave.
    Step fail(std::string text);
    // Ends the exchange with `result` and releases the lock.
    Step over(ExchangeResult result);
    // Whether the request has begun to leave and its answer has not all been read.
    bool answer_pending() const;
    void break_connection();

    platform::AsyncStream& stream() const;
    // The response frame while its payload fits in head_: header and payload.
    std::span<uint8_t> short_frame();
    // What the wait that advance() asked for is about.
    std::span<const uint8_t> unwritten() const;
    std::span<uint8_t> unread();

    std::shared_ptr<ConnectionCell> cell_;
    std::string socket_path_;
    uint64_t request_id_;
    std::array<uint8_t, kRequestFrameSize> frame_;
    std::optional<ConnectionCell::Guard> guard_;
    Phase phase_ = Phase::Open;
    size_t done_ = 0;  // bytes written or read in the current phase
    // The response header and, when it is at most 40 bytes, the payload.
    std::array<uint8_t, ResponseHeader::kSize + kHybridResponseSize> head_{};
    ResponseHeader header_{};
    std::vector<uint8_t> payload_;
    std::optional<ExchangeResult> result_;
    std::optional<platform::WaitStop> stop_;
};

}  // namespace zelto::hybrid
