#include "platform/nonblocking_socket.hpp"

#include <sys/socket.h>

#include <cerrno>

namespace zelto::platform {

bool Attempt::not_ready() const noexcept {
    return error == EAGAIN || error == EWOULDBLOCK;
}

Attempt try_send(int fd, std::span<const uint8_t> bytes) noexcept {
    for (;;) {
        ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) return Attempt{static_cast<size_t>(sent), 0};
        if (errno != EINTR) return Attempt{0, errno};
    }
}

Attempt try_receive(int fd, std::span<uint8_t> out) noexcept {
    for (;;) {
        ssize_t got = ::recv(fd, out.data(), out.size(), MSG_DONTWAIT);
        if (got >= 0) return Attempt{static_cast<size_t>(got), 0};
        if (errno != EINTR) return Attempt{0, errno};
    }
}

Attempt try_peek(int fd) noexcept {
    uint8_t byte = 0;
    for (;;) {
        ssize_t got = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got >= 0) return Attempt{static_cast<size_t>(got), 0};
        if (errno != EINTR) return Attempt{0, errno};
    }
}

void shut_down_stream(int fd) noexcept {
    (void)::shutdown(fd, SHUT_RDWR);
}

}  // namespace zelto::platform
