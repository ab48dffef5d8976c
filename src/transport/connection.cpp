#include "transport/connection.hpp"

#include <utility>

#include "platform/nonblocking_socket.hpp"
#include "platform/os_error.hpp"
#include "platform/socket.hpp"
#include "transport/config.hpp"

namespace zelto {

Connection::Connection(Connection&& other) noexcept
    : stream_(std::exchange(other.stream_, platform::StreamHandle())),
      reader_(std::move(other.reader_)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        platform::close_socket(stream_);
        stream_ = std::exchange(other.stream_, platform::StreamHandle());
        reader_ = std::move(other.reader_);
    }
    return *this;
}

Connection::~Connection() {
    platform::close_socket(stream_);
}

std::expected<Connection, IoError> Connection::open(const Endpoint& endpoint,
                                                    const platform::CallWait& wait) {
    // A call whose deadline passed (a retry late in the call) opens nothing more.
    if (wait.deadline && wait.expired(platform::CallWait::Clock::now()))
        return std::unexpected(IoError::stopped(platform::WaitStop::TimedOut));
    auto stream = endpoint.kind == Endpoint::Kind::Tcp
                      ? platform::connect_tcp(endpoint.address, wait)
                      : platform::connect_local(pipe_socket_path(endpoint.address));
    if (!stream) return std::unexpected(stream.error());
    return Connection(*stream);
}

std::expected<void, IoError> Connection::write_all(std::span<const uint8_t> bytes,
                                                   const platform::CallWait& wait) {
    const std::span<const uint8_t> pieces[] = {bytes};
    return write_all(pieces, std::chrono::nanoseconds::zero(), wait);
}

std::expected<void, IoError> Connection::write_all(std::span<const std::span<const uint8_t>> pieces,
                                                   std::chrono::nanoseconds spin,
                                                   const platform::CallWait& wait) {
    if (wait.deadline && wait.expired(platform::CallWait::Clock::now()))
        return std::unexpected(IoError::stopped(platform::WaitStop::TimedOut));
    return platform::send_all(stream_, pieces, spin, wait);
}

bool Connection::is_quiet() const {
    return !has_unread_bytes() && platform::try_peek(stream_).not_ready();
}

std::expected<size_t, IoError> Connection::receive(std::span<uint8_t> into,
                                                   platform::SpinWait& spinner,
                                                   const platform::CallWait& wait) {
    for (;;) {
        platform::Attempt attempt = platform::try_receive(stream_, into);
        size_t got = attempt.bytes;
        if (attempt.not_ready()) {
            if (spinner.spinning()) {
                spinner.missed();
                continue;
            }
            auto received = platform::receive_some(stream_, into, wait);
            if (!received) return std::unexpected(received.error());
            got = *received;
        } else if (attempt.error != 0) {
            return std::unexpected(platform::os_error(attempt.error));
        }
        if (got != 0) spinner.progressed();
        return got;
    }
}

std::expected<void, IoError> Connection::fill(std::chrono::nanoseconds spin,
                                              const platform::CallWait& wait) {
    ReceiveBuffer& buffer = reader_.receive_buffer();
    platform::SpinWait spinner(spin);
    while (!buffer.complete()) {
        auto got = receive(buffer.next_buffer(), spinner, wait);
        if (!got) return std::unexpected(got.error());
        if (*got == 0) return std::unexpected(early_end_of_stream());
        buffer.commit(*got);
    }
    return {};
}

std::expected<void, IoError> Connection::read_exact(std::span<uint8_t> out,
                                                    std::chrono::nanoseconds spin,
                                                    const platform::CallWait& wait) {
    reader_.receive_buffer().want(out);
    return fill(spin, wait);
}

std::expected<std::span<uint8_t>, IoError> Connection::read_payload(
    uint32_t n, std::chrono::nanoseconds spin, const platform::CallWait& wait) {
    ReceiveBuffer& buffer = reader_.receive_buffer();
    buffer.want_payload(0, n, n, ReceiveBuffer::Route::InPlace);
    if (auto filled = fill(spin, wait); !filled) return std::unexpected(filled.error());
    return buffer.payload(n);
}

FrameResult Connection::finish_frame(std::chrono::nanoseconds spin,
                                     const platform::CallWait& wait) {
    platform::SpinWait spinner(spin);
    while (!reader_.done()) {
        auto got = receive(reader_.next_buffer(), spinner, wait);
        if (got) {
            reader_.commit(*got);  // 0: the end of the stream
        } else {
            reader_.fail(std::move(got.error()));
        }
    }
    return reader_.take_result();
}

}  // namespace zelto
