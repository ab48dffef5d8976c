#include "transport/connection.hpp"

#include <algorithm>
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

Connection::Connection(Connection&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        platform::close_socket(fd_);
        fd_ = std::exchange(other.fd_, -1);
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

std::expected<void, IoError> Connection::read_exact(std::span<uint8_t> out) {
    while (!out.empty()) {
        auto got = platform::receive_some(fd_, out);
        if (!got) return std::unexpected(got.error());
        if (*got == 0) return std::unexpected(unexpected_eof());
        out = out.subspan(*got);
    }
    return {};
}

std::expected<void, IoError> Connection::read_exact(std::span<uint8_t> out,
                                                    std::chrono::nanoseconds spin) {
    platform::SpinBudget budget(spin);
    while (!out.empty()) {
        auto attempt = platform::try_receive(fd_, out);
        if (attempt.not_ready()) {
            if (budget.again()) continue;
            break;
        }
        if (attempt.error != 0) return std::unexpected(platform::os_error(attempt.error));
        if (attempt.bytes == 0) return std::unexpected(unexpected_eof());
        out = out.subspan(attempt.bytes);
    }
    return read_exact(out);
}

std::expected<std::vector<uint8_t>, IoError> Connection::read_payload(uint32_t n) {
    const size_t total = n;
    std::vector<uint8_t> buffer(std::min(total, kInitialPayloadBuffer));
    size_t filled = 0;
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
