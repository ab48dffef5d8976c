// A connected local stream endpoint used by one event loop's operations: attempts that never
// wait, made on the calling thread, and transfers that wait through the event loop (Asio) and
// are completed by the threads that service it. Callers drive both with the same code on every
// system; what differs is below this header.
//
// The event loop's I/O object is a Unix-domain socket over a readiness reactor (epoll) on POSIX
// systems and a stream handle over an I/O completion port on Windows. How a stream is tied to
// the loop differs as well:
//   - POSIX: the descriptor is registered with the loop only for a transfer that has to wait,
//     and taken back (still open) when it is over. A descriptor registered for good, edge
//     triggered, would wake a loop thread on every arrival, even for bytes the caller takes
//     itself with an attempt.
//   - Windows: a handle is associated with a completion port once and for good, and only
//     transfers issued through the loop report there. The stream is adopted by the first loop it
//     waits through and stays with it. A read attempt takes what the pipe already holds (with
//     an overlapped read kept off the port, platform::try_receive). A write is never attempted:
//     one that the pipe could not take at once would stay queued, neither revocable nor
//     awaitable without blocking past a stop, so every write goes through the loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#if defined(_WIN32)
#include <asio/windows/stream_handle.hpp>
#else
#include <asio/local/stream_protocol.hpp>
#endif

#include "platform/stream_handle.hpp"

namespace zelto::platform {

// The event loop's I/O object for a local stream endpoint on this system.
#if defined(_WIN32)
using AsyncStreamObject = asio::windows::stream_handle;
#else
using AsyncStreamObject = asio::local::stream_protocol::socket;
#endif

// Makes `stream` an I/O object of `io`, or fails with the system's error number. The object then
// refers to the descriptor or handle; on Windows it also owns it (closing it closes the handle).
std::expected<AsyncStreamObject, int> adopt(asio::io_context& io, StreamHandle stream);

// What one attempt or transfer did.
struct Transfer {
    enum class Outcome : uint8_t {
        Moved,     // `bytes` moved; a write may report 0 (it accepted nothing)
        NotReady,  // an attempt that would have had to wait (never a transfer's outcome)
        Ended,     // a read found the end of the stream, or the peer reset the connection
        Failed,    // `error` is the system's error number
    };
    Outcome outcome = Outcome::Moved;
    size_t bytes = 0;
    int error = 0;
};

class AsyncStream {
public:
    // Takes ownership of `stream`: a connected local endpoint opened for non-blocking (POSIX)
    // or overlapped (Windows) I/O.
    explicit AsyncStream(StreamHandle stream) noexcept : handle_(stream) {}
    // Closes the stream.
    ~AsyncStream();
    // Transfers in flight refer to the stream where it lies.
    AsyncStream(const AsyncStream&) = delete;
    AsyncStream& operator=(const AsyncStream&) = delete;

    StreamHandle handle() const noexcept { return handle_; }

    // One attempt on the calling thread that never waits: NotReady when nothing can move now.
    Transfer try_read(std::span<uint8_t> out) noexcept;
    Transfer try_write(std::span<const uint8_t> bytes) noexcept;

    // One transfer through `io`: completes, on the awaiting coroutine's executor, once at least
    // one byte moved, the stream ended or the transfer failed. Every transfer of a stream goes
    // through the same `io` (Windows ties the stream to the first one).
    asio::awaitable<Transfer> read_some(asio::io_context& io, std::span<uint8_t> out);
    asio::awaitable<Transfer> write_some(asio::io_context& io, std::span<const uint8_t> bytes);

    // Ends the stream both ways: the peer sees the end, and a transfer waiting in any thread
    // completes at once. Nothing moves on the stream afterwards. On POSIX systems only the
    // process that opened the stream may do this: a forked child shares it with its parent.
    void shut_down() noexcept;

private:
    StreamHandle handle_;
    // Windows: the loop's object, once the stream waited through a loop.
    std::optional<AsyncStreamObject> adopted_;
};

}  // namespace zelto::platform
