#include "transport/connection.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/memory.hpp"
#include "platform/nonblocking_socket.hpp"
#include "platform/os_error.hpp"
#include "platform/socket.hpp"
#include "transport/config.hpp"

namespace zelto {
namespace {

IoError unexpected_eof() {
    return platform::custom_error(IoCategory::Other, "failed to fill whole buffer");
}

}  // namespace

Connection::Connection(Connection&& other) noexcept
    : stream_(std::exchange(other.stream_, platform::StreamHandle())),
      ahead_(std::move(other.ahead_)),
      ahead_begin_(std::exchange(other.ahead_begin_, 0)),
      ahead_end_(std::exchange(other.ahead_end_, 0)),
      payload_(std::move(other.payload_)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        platform::close_socket(stream_);
        stream_ = std::exchange(other.stream_, platform::StreamHandle());
        ahead_ = std::move(other.ahead_);
        ahead_begin_ = std::exchange(other.ahead_begin_, 0);
        ahead_end_ = std::exchange(other.ahead_end_, 0);
        payload_ = std::move(other.payload_);
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

size_t Connection::take_buffered(std::span<uint8_t> out) {
    const size_t n = std::min(out.size(), ahead_end_ - ahead_begin_);
    if (n == 0) return 0;
    std::memcpy(out.data(), ahead_.get() + ahead_begin_, n);
    ahead_begin_ += n;
    if (ahead_begin_ == ahead_end_) ahead_begin_ = ahead_end_ = 0;
    return n;
}

std::expected<size_t, IoError> Connection::receive(std::span<uint8_t> into,
                                                   platform::SpinWait& spinner,
                                                   const platform::CallWait& wait) {
    platform::Attempt attempt = platform::try_receive(stream_, into);
    size_t got = attempt.bytes;
    if (attempt.not_ready()) {
        if (spinner.spinning()) {
            spinner.missed();
            return 0;
        }
        auto received = platform::receive_some(stream_, into, wait);
        if (!received) return std::unexpected(received.error());
        got = *received;
    } else if (attempt.error != 0) {
        return std::unexpected(platform::os_error(attempt.error));
    }
    if (got == 0) return std::unexpected(unexpected_eof());
    spinner.progressed();
    return got;
}

std::expected<void, IoError> Connection::read_exact(std::span<uint8_t> out,
                                                    std::chrono::nanoseconds spin,
                                                    const platform::CallWait& wait) {
    out = out.subspan(take_buffered(out));
    platform::SpinWait spinner(spin);
    while (!out.empty()) {
        // A short read lands in the read-ahead buffer (empty by now), a long one in place.
        const bool short_read = out.size() < kReadAhead;
        if (short_read && !ahead_) ahead_ = std::make_unique<uint8_t[]>(kReadAhead);
        std::span<uint8_t> into =
            short_read ? std::span(ahead_.get() + ahead_end_, kReadAhead - ahead_end_) : out;
        auto got = receive(into, spinner, wait);
        if (!got) return std::unexpected(got.error());
        if (short_read) {
            ahead_end_ += *got;
            out = out.subspan(take_buffered(out));
        } else {
            out = out.subspan(*got);
        }
    }
    return {};
}

std::expected<std::span<uint8_t>, IoError> Connection::read_payload(
    uint32_t n, std::chrono::nanoseconds spin, const platform::CallWait& wait) {
    const size_t total = n;
    payload_.grow(std::min(total, kReserveAhead), 0);
    size_t filled = take_buffered(std::span(payload_.data(), std::min(total, kReadAhead)));
    platform::SpinWait spinner(spin);
    while (filled < total) {
        if (filled == payload_.capacity()) {
            // Past the reservation: a larger one, filled with what arrived before the old one
            // goes, so at no time are more pages touched than the new buffer's.
            payload_.grow(std::min(total, payload_.capacity() * 2), filled);
        }
        const size_t room = std::min(total, payload_.capacity()) - filled;
        auto got = receive(std::span(payload_.data() + filled, room), spinner, wait);
        if (!got) return std::unexpected(got.error());
        filled += *got;
    }
    return std::span(payload_.data(), total);
}

std::expected<std::span<uint8_t>, IoError> Connection::read_payload_piece(
    size_t offset, size_t n, size_t total, std::chrono::nanoseconds spin,
    const platform::CallWait& wait) {
    const size_t until = offset + n;
    payload_.grow(std::min(total, kReserveAhead), offset);
    size_t filled = offset;
    while (filled < until) {
        if (filled == payload_.capacity()) {
            payload_.grow(std::min(total, payload_.capacity() * 2), filled);
        }
        const size_t end = std::min(until, payload_.capacity());
        auto read = read_exact(std::span(payload_.data() + filled, end - filled), spin, wait);
        if (!read) return std::unexpected(read.error());
        filled = end;
    }
    return std::span(payload_.data(), until);
}

void Connection::shed_large_buffer() {
    if (payload_.capacity() > kKeptPayloadBuffer) payload_.release();
}

}  // namespace zelto
