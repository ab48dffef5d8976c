#include "platform/nonblocking_socket.hpp"

#include <sys/socket.h>

#include <cerrno>

#include "platform/posix/descriptor.hpp"

namespace zelto::platform {

bool Attempt::not_ready() const noexcept {
    return error == EAGAIN || error == EWOULDBLOCK;
}

bool Attempt::reset_by_peer() const noexcept {
    return error == ECONNRESET;
}

Attempt try_send(StreamHandle stream, std::span<const uint8_t> bytes) noexcept {
    for (;;) {
        ssize_t sent =
            ::send(fd_of(stream), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return Attempt{static_cast<size_t>(sent), 0};
        if (errno != EINTR) return Attempt{0, errno};
    }
}

Attempt try_receive(StreamHandle stream, std::span<uint8_t> out) noexcept {
    for (;;) {
        ssize_t got = ::recv(fd_of(stream), out.data(), out.size(), MSG_DONTWAIT);
        if (got >= 0) return Attempt{static_cast<size_t>(got), 0};
        if (errno != EINTR) return Attempt{0, errno};
    }
}

Attempt try_peek(StreamHandle stream) noexcept {
    uint8_t byte = 0;
    for (;;) {
        ssize_t got = ::recv(fd_of(stream), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got >= 0) return Attempt{static_cast<size_t>(got), 0};
        if (errno != EINTR) return Attempt{0, errno};
    }
}

void shut_down_stream(StreamHandle stream) noexcept {
    (void)::shutdown(fd_of(stream), SHUT_RDWR);
}

}  // namespace zelto::platform
