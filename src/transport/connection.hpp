// One open blocking byte stream (TCP or a local stream endpoint), owned exclusively. No transfer
// sleeps in a system call for long: once a spin is over, every wait is cut into slices of the
// call's CallWait, so a signal handler that raises or a passed deadline ends it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>

#include "platform/call_wait.hpp"
#include "platform/io_error.hpp"
#include "platform/stream_handle.hpp"
#include "platform/wait_policy.hpp"
#include "transport/answer_reader.hpp"
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
    // valid until the next read of a payload or frame, or shed_large_buffer. The buffer reserves
    // address space for at most kReserveAhead bytes of the announced size and touches memory
    // only as bytes arrive, so a size announced by the peer costs memory only for the data that
    // actually comes. While nothing is there, the thread retries without blocking for up to
    // `spin` since the last bytes came, then waits under `wait`.
    std::expected<std::span<uint8_t>, IoError> read_payload(
        uint32_t n, std::chrono::nanoseconds spin = {},
        const platform::CallWait& wait = platform::unbounded_wait());
    // The reader of this connection's answer frames: begin() a frame on it, then finish_frame().
    AnswerReader& answer_reader() { return reader_; }
    // Receives until the frame begun on answer_reader() is done and returns it, waiting as
    // read_exact does. A tensor's data lies in the payload buffer (valid as read_payload's view)
    // or in the memory of the frame's sink.
    FrameResult finish_frame(std::chrono::nanoseconds spin = {},
                             const platform::CallWait& wait = platform::unbounded_wait());
    // Frees the payload buffer if it is larger than kKeptPayloadBuffer (see ReceiveBuffer).
    void shed_large_buffer() { reader_.receive_buffer().shed_large_buffer(); }

    platform::StreamHandle stream() const { return stream_; }
    // Hands the stream over to the caller, who closes it; the connection is then closed.
    platform::StreamHandle release() { return std::exchange(stream_, platform::StreamHandle()); }
    bool is_open() const { return stream_.valid(); }
    // Whether bytes were received past the last read: the peer sent more than was asked for.
    bool has_unread_bytes() const { return reader_.receive_buffer().has_unread_bytes(); }
    // Whether an idle connection is still in step with its peer: nothing unread, and neither
    // bytes nor the end of the stream waiting in the socket. Looks without waiting.
    bool is_quiet() const;

    static constexpr size_t kReadAhead = ReceiveBuffer::kReadAhead;
    static constexpr size_t kReserveAhead = ReceiveBuffer::kReserveAhead;
    static constexpr size_t kKeptPayloadBuffer = ReceiveBuffer::kKeptPayloadBuffer;

private:
    // One receive into `into`: attempts without blocking while `spinner` spins, then waits under
    // `wait` until bytes come. Returns the bytes received, 0 at the end of the stream.
    std::expected<size_t, IoError> receive(std::span<uint8_t> into, platform::SpinWait& spinner,
                                           const platform::CallWait& wait);
    // Receives until the receive buffer holds what was asked of it.
    std::expected<void, IoError> fill(std::chrono::nanoseconds spin,
                                      const platform::CallWait& wait);

    platform::StreamHandle stream_;
    AnswerReader reader_;  // with the bytes received ahead and the payload buffer
};

}  // namespace zelto
