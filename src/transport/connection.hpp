// One open blocking byte stream (TCP or a local stream endpoint), owned exclusively. No transfer
// sleeps in a system call for long: once a spin is over, every wait is cut into slices of the
// call's CallWait, so a signal handler that raises or a passed deadline ends it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>

#include "platform/call_wait.hpp"
#include "platform/io_error.hpp"
#include "platform/memory.hpp"
#include "platform/stream_handle.hpp"
#include "platform/wait_policy.hpp"
#include "transport/config.hpp"

namespace zelto {

class Connection {
public:
    Connection() = default;
    explicit Connection(platform::StreamHandle stream) : stream_(stream) {}
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Opens a connection to the endpoint (TCP: resolver, connect, TCP_NODELAY; pipe: the local
    // stream endpoint that pipe_socket_path names).
    // A TCP connect waits under `wait`; a local connect never waits.
    static std::expected<Connection, IoError> open(const Endpoint& endpoint,
                                                   const platform::CallWait& wait);

    // Writes every byte; a write that accepts nothing is "failed to write whole buffer".
    std::expected<void, IoError> write_all(
        std::span<const uint8_t> bytes,
        const platform::CallWait& wait = platform::unbounded_wait());
    // Writes the pieces' concatenation, gathered into as few system calls as possible; while the
    // socket is full the thread retries without blocking for up to `spin` since the last
    // progress, then waits for room under `wait`.
    std::expected<void, IoError> write_all(
        std::span<const std::span<const uint8_t>> pieces, std::chrono::nanoseconds spin = {},
        const platform::CallWait& wait = platform::unbounded_wait());
    // A no-op for raw sockets, kept so the exchange reads like the protocol.
    std::expected<void, IoError> flush() { return {}; }
    // Reads exactly out.size() bytes; end of stream first is "failed to fill whole buffer".
    // While nothing has arrived the thread retries without blocking for up to `spin` first: an
    // answer that comes within that time is taken without the thread being put to sleep and
    // woken again, which costs tens of microseconds on a virtual machine. Then it waits for
    // bytes under `wait`.
    std::expected<void, IoError> read_exact(
        std::span<uint8_t> out, std::chrono::nanoseconds spin = {},
        const platform::CallWait& wait = platform::unbounded_wait());
    // Reads exactly n bytes into the connection's payload buffer and returns them; the view is
    // valid until the next read_payload or shed_large_buffer. The buffer reserves address
    // space for at most 32 MiB of the announced size and touches memory only as bytes arrive,
    // so a size announced by the peer costs memory only for the data that actually comes.
    // While nothing is there, the thread retries without blocking for up to `spin` since the
    // last bytes came, then waits under `wait`.
    std::expected<std::span<uint8_t>, IoError> read_payload(
        uint32_t n, std::chrono::nanoseconds spin = {},
        const platform::CallWait& wait = platform::unbounded_wait());
    // Reads the next `n` bytes of a payload of `total` bytes into the payload buffer at
    // `offset`, keeping the `offset` bytes before them, and returns the buffer's first
    // offset + n bytes (valid as read_payload's view). The buffer grows as read_payload's does.
    // Unlike read_payload, a piece shorter than kReadAhead goes through the read-ahead buffer,
    // so the small fields at a payload's front are taken one by one without a system call each,
    // and reading them never receives the bytes after them into the payload buffer.
    std::expected<std::span<uint8_t>, IoError> read_payload_piece(
        size_t offset, size_t n, size_t total, std::chrono::nanoseconds spin = {},
        const platform::CallWait& wait = platform::unbounded_wait());
    // Frees the payload buffer if it is larger than kKeptPayloadBuffer. A connection keeps a
    // buffer of ordinary size for its next payload (no allocation, no fresh pages), but one
    // that sits idle should not hold on to the memory of a large answer.
    void shed_large_buffer();

    platform::StreamHandle stream() const { return stream_; }
    bool is_open() const { return stream_.valid(); }
    // Whether bytes were received past the last read: the peer sent more than was asked for.
    bool has_unread_bytes() const { return ahead_end_ != ahead_begin_; }
    // Whether an idle connection is still in step with its peer: nothing unread, and neither
    // bytes nor the end of the stream waiting in the socket. Looks without waiting.
    bool is_quiet() const;

    // A read shorter than this takes whatever has arrived, up to this many bytes, in one system
    // call: a frame header and a small payload then cost one receive instead of two. The bytes
    // past the read stay here and begin the next read, so the stream reads exactly as before.
    static constexpr size_t kReadAhead = 4096;
    // A payload buffer reserves address space for the announced size up to this much, without
    // touching it: memory is used only as bytes arrive, and a payload that fits is never copied
    // to a larger buffer. Past it, the reservation doubles as bytes arrive.
    static constexpr size_t kReserveAhead = size_t{32} << 20;
    // The largest payload buffer a connection keeps once the payload in it has been used.
    static constexpr size_t kKeptPayloadBuffer = size_t{2} << 20;

private:
    // One receive into `into`. While `spinner` spins, one attempt that returns 0 when it found
    // nothing; after that, waits under `wait` until bytes come. Returns the bytes received; the
    // end of the stream is an error.
    std::expected<size_t, IoError> receive(std::span<uint8_t> into, platform::SpinWait& spinner,
                                           const platform::CallWait& wait);
    // Moves buffered bytes to the front of `out`; returns how many.
    size_t take_buffered(std::span<uint8_t> out);

    platform::StreamHandle stream_;
    std::unique_ptr<uint8_t[]> ahead_;  // kReadAhead bytes once a short read needed them
    size_t ahead_begin_ = 0;
    size_t ahead_end_ = 0;
    platform::ByteBuffer payload_;
};

}  // namespace zelto
