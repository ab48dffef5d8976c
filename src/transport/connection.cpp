#include "transport/connection.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/cpu.hpp"
#include "platform/memory.hpp"
#include "platform/nonblocking_socket.hpp"
#include "platform/os_error.hpp"
#include "platform/socket.hpp"

namespace zelto {
namespace {

// The first payload buffer; it doubles as bytes arrive, so a peer that announces a size but
// sends less costs at most twice what it actually sent.
constexpr size_t kInitialPayloadBuffer = 64 * 1024;

IoError unexpected_eof() {
    return platform::custom_error(IoCategory::Other, "failed to fill whole buffer");
}

}  // namespace

Connection::Connection(Connection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      ahead_(std::move(other.ahead_)),
      ahead_begin_(std::exchange(other.ahead_begin_, 0)),
      ahead_end_(std::exchange(other.ahead_end_, 0)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        platform::close_socket(fd_);
        fd_ = std::exchange(other.fd_, -1);
        ahead_ = std::move(other.ahead_);
        ahead_begin_ = std::exchange(other.ahead_begin_, 0);
        ahead_end_ = std::exchange(other.ahead_end_, 0);
    }
    return *this;
}

Connection::~Connection() {
    platform::close_socket(fd_);
}

std::expected<Connection, IoError> Connection::open(const Endpoint& endpoint) {
    auto fd = endpoint.kind == Endpoint::Kind::Tcp ? platform::connect_tcp(endpoint.address)
                                                   : platform::connect_local(endpoint.address);
    if (!fd) return std::unexpected(fd.error());
    return Connection(*fd);
}

std::expected<void, IoError> Connection::write_all(std::span<const uint8_t> bytes) {
    return platform::send_all(fd_, bytes);
}

std::expected<void, IoError> Connection::write_all(
    std::span<const std::span<const uint8_t>> pieces) {
    return platform::send_all(fd_, pieces);
}

size_t Connection::take_buffered(std::span<uint8_t> out) {
    const size_t n = std::min(out.size(), ahead_end_ - ahead_begin_);
    if (n == 0) return 0;
    std::memcpy(out.data(), ahead_.get() + ahead_begin_, n);
    ahead_begin_ += n;
    if (ahead_begin_ == ahead_end_) ahead_begin_ = ahead_end_ = 0;
    return n;
}

std::expected<void, IoError> Connection::read_exact(std::span<uint8_t> out) {
    return read_exact(out, std::chrono::nanoseconds::zero());
}

std::expected<void, IoError> Connection::read_exact(std::span<uint8_t> out,
                                                    std::chrono::nanoseconds spin) {
    out = out.subspan(take_buffered(out));
    platform::SpinBudget budget(spin);
    bool spinning = spin > std::chrono::nanoseconds::zero();
    while (!out.empty()) {
        // A short read lands in the read-ahead buffer (empty by now), a long one in place.
        const bool short_read = out.size() < kReadAhead;
        if (short_read && !ahead_) ahead_ = std::make_unique<uint8_t[]>(kReadAhead);
        std::span<uint8_t> into =
            short_read ? std::span(ahead_.get() + ahead_end_, kReadAhead - ahead_end_) : out;
        size_t got = 0;
        if (spinning) {
            auto attempt = platform::try_receive(fd_, into);
            if (attempt.not_ready()) {
                spinning = budget.again();
                continue;
            }
            if (attempt.error != 0) return std::unexpected(platform::os_error(attempt.error));
            got = attempt.bytes;
        } else {
            auto received = platform::receive_some(fd_, into);
            if (!received) return std::unexpected(received.error());
            got = *received;
        }
        if (got == 0) return std::unexpected(unexpected_eof());
        if (short_read) {
            ahead_end_ += got;
            out = out.subspan(take_buffered(out));
        } else {
            out = out.subspan(got);
        }
    }
    return {};
}

std::expected<std::vector<uint8_t>, IoError> Connection::read_payload(uint32_t n) {
    const size_t total = n;
    std::vector<uint8_t> buffer(std::min(total, kInitialPayloadBuffer));
    size_t filled = take_buffered(buffer);
    while (filled < total) {
        if (filled == buffer.size()) {
            // A larger buffer, filled with what arrived before the old one goes: at no time
            // are more pages touched than the new buffer's.
            const size_t grown = std::min(total, buffer.size() * 2);
            std::vector<uint8_t> larger;
            platform::reserve_bytes(larger, grown);
            larger.assign(buffer.begin(), buffer.end());
            buffer = std::move(larger);
            buffer.resize(grown);
        }
        auto got = platform::receive_some(fd_, std::span(buffer).subspan(filled));
        if (!got) return std::unexpected(got.error());
        if (*got == 0) return std::unexpected(unexpected_eof());
        filled += *got;
    }
    return buffer;
}

}  // namespace zelto
