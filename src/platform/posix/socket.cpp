#include "platform/socket.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/common/socket_address.hpp"
#include "platform/common/streams.hpp"
#include "platform/cpu.hpp"
#include "platform/os_error.hpp"
#include "platform/posix/descriptor.hpp"
#include "platform/wait_policy.hpp"

namespace zelto::platform {
namespace {

std::expected<SocketAddress, IoError> local_address(std::string_view file) {
    SocketAddress address;
    auto* un = reinterpret_cast<sockaddr_un*>(&address.storage);
    if (file.find('\0') != std::string_view::npos) {
        return std::unexpected(library_error("paths must not contain interior null bytes"));
    }
    // sun_path needs room for the terminating NUL; a longer path is refused, never truncated.
    if (file.size() >= sizeof(un->sun_path)) {
        return std::unexpected(library_error("path must be shorter than " +
                                             std::to_string(sizeof(un->sun_path)) + " bytes"));
    }
    un->sun_family = AF_UNIX;
    std::memcpy(un->sun_path, file.data(), file.size());
    address.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + file.size() + 1);
    return address;
}

// Waits for a connect in progress (non-blocking, or interrupted by a signal, which leaves it going
// on in the background) to finish; returns its outcome.
std::expected<void, IoError> finish_connect(int fd, const CallWait& wait) {
    if (auto ready = wait_until_ready(StreamHandle(fd), Readiness::Writable, wait); !ready)
        return ready;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) return std::unexpected(os_error(error));
    return {};
}

// Connects a non-blocking socket, waiting under `wait` while the connect is in progress.
std::expected<void, IoError> connect_socket(int fd, const SocketAddress& address,
                                            const CallWait& wait) {
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0)
        return {};
    if (errno == EINTR || errno == EINPROGRESS) return finish_connect(fd, wait);
    return std::unexpected(os_error(errno));
}

void set_no_delay(int fd) {
    int one = 1;
    // Failure is harmless (e.g. not a TCP socket): the connection just keeps Nagle's algorithm.
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::expected<void, IoError> set_blocking(int fd, bool blocking) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) return std::unexpected(os_error(errno));
    flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (fcntl(fd, F_SETFL, flags) < 0) return std::unexpected(os_error(errno));
    return {};
}

// Connections the kernel completes before the listener accepts them: an asyncio client may open
// a thousand at once. The kernel caps it at its own limit (somaxconn).
constexpr int kListenBacklog = 4096;

// A socket file that refuses connections was left by a listener that is gone.
bool is_stale_socket_file(const std::string& file) {
    struct stat info {};
    if (lstat(file.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
    auto probe = connect_local(file);
    if (probe) {
        close_socket(*probe);
        return false;
    }
    return probe.error().os_errno == ECONNREFUSED;
}

}  // namespace

std::string resolver_error_text(int code) {
    return gai_strerror(code);
}

std::expected<StreamHandle, IoError> connect_tcp(std::string_view address, const CallWait& wait) {
    auto addresses = resolve(address, false);
    if (!addresses) return std::unexpected(addresses.error());
    IoError last;
    for (const auto& candidate : *addresses) {
        int fd = socket(candidate.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            last = os_error(errno);
            continue;
        }
        auto connected = connect_socket(fd, candidate, wait);
        if (connected) connected = set_blocking(fd, true);
        if (connected) {
            set_no_delay(fd);
            return StreamHandle(fd);
        }
        ::close(fd);
        // A stopped wait ends the call; another address would only wait again.
        if (connected.error().interrupted() || connected.error().timed_out())
            return std::unexpected(connected.error());
        last = connected.error();
    }
    return std::unexpected(last);
}

std::expected<StreamHandle, IoError> connect_local(std::string_view path, Blocking blocking) {
    auto address = local_address(path);
    if (!address) return std::unexpected(address.error());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::unexpected(os_error(errno));
    // A local connect completes at once or fails at once (EAGAIN for a full backlog); it never
    // waits for the listener to accept.
    if (auto connected = connect_socket(fd, *address, unbounded_wait()); !connected) {
        ::close(fd);
        return std::unexpected(connected.error());
    }
    if (blocking == Blocking::Yes) {
        if (auto made = set_blocking(fd, true); !made) {
            ::close(fd);
            return std::unexpected(made.error());
        }
    }
    return StreamHandle(fd);
}

std::expected<size_t, IoError> send_some(StreamHandle stream, std::span<const uint8_t> bytes,
                                         bool more) {
    const int fd = fd_of(stream);
    int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
    for (;;) {
        ssize_t sent = ::send(fd, bytes.data(), bytes.size(), flags);
        if (sent >= 0) return static_cast<size_t>(sent);
        if (errno != EINTR) return std::unexpected(os_error(errno));
    }
}

std::expected<void, IoError> send_all(StreamHandle stream,
                                      std::span<const std::span<const uint8_t>> pieces,
                                      std::chrono::nanoseconds spin, const CallWait& wait) {
    const int fd = fd_of(stream);
    // Up to kMaxPieces iovecs per system call; pieces are few (a frame header, a body around
    // the caller's data), so this is one call unless the socket takes only part of the bytes.
    constexpr size_t kMaxPieces = 8;
    PieceCursor cursor(pieces);
    SpinWait spinner(spin);
    for (;;) {
        iovec iov[kMaxPieces];
        size_t count = 0;
        cursor.each_unsent(kMaxPieces, [&](std::span<const uint8_t> piece) {
            iov[count++] = {const_cast<uint8_t*>(piece.data()), piece.size()};
        });
        if (count == 0) return {};
        msghdr message{};
        message.msg_iov = iov;
        message.msg_iovlen = count;
        // Never blocks in the system call: a full socket is retried while the spin lasts and then
        // waited for in slices, so a peer that stops reading cannot hold the call.
        ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return std::unexpected(os_error(errno));
            if (spinner.spinning()) {
                spinner.missed();
            } else if (auto ready = wait_until_ready(stream, Readiness::Writable, wait); !ready) {
                return std::unexpected(ready.error());
            }
            continue;
        }
        if (sent == 0) return std::unexpected(library_error("failed to write whole buffer"));
        spinner.progressed();
        cursor.advance(static_cast<size_t>(sent));
    }
}

std::expected<void, IoError> wait_until_ready(StreamHandle stream, Readiness readiness,
                                              const CallWait& wait) {
    pollfd entry{fd_of(stream),
                 static_cast<short>(readiness == Readiness::Readable ? POLLIN : POLLOUT), 0};
    std::optional<IoError> failed;
    const auto stop = wait_in_slices(wait, [&](WaitSlice& slice) {
        const auto length = slice.length();
        const int ready = ::poll(&entry, 1, length ? static_cast<int>(length->count()) : -1);
        if (ready < 0 && errno != EINTR) {
            failed = os_error(errno);
            return SliceResult::Done;
        }
        // Ready, not Done: a peer that trickles bytes keeps every slice short, and the signal
        // handlers must run all the same.
        return ready > 0 ? SliceResult::Ready : SliceResult::NotYet;
    });
    if (stop) return std::unexpected(IoError::stopped(*stop));
    if (failed) return std::unexpected(std::move(*failed));
    return {};
}

std::expected<size_t, IoError> receive_some(StreamHandle stream, std::span<uint8_t> into,
                                            const CallWait& wait) {
    return receive_when_ready(stream, into, wait);
}

void close_socket(StreamHandle stream) {
    if (stream.valid()) ::close(fd_of(stream));
}

std::expected<Listener, IoError> listen_tcp(std::string_view address) {
    auto addresses = resolve(address, true);
    if (!addresses) return std::unexpected(addresses.error());
    IoError last;
    for (const auto& candidate : *addresses) {
        int fd = socket(candidate.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            last = os_error(errno);
            continue;
        }
        int one = 1;
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&candidate.storage), candidate.length) !=
                0 ||
            listen(fd, kListenBacklog) != 0) {
            last = os_error(errno);
            ::close(fd);
            continue;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            last = os_error(errno);
            ::close(fd);
            continue;
        }
        return Listener{StreamHandle(fd), format_address(bound)};
    }
    return std::unexpected(last);
}

std::expected<Listener, IoError> listen_local(std::string_view path) {
    auto address = local_address(path);
    if (!address) return std::unexpected(address.error());
    std::string file(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::unexpected(os_error(errno));
    auto bind_socket = [&] {
        int rc = bind(fd, reinterpret_cast<const sockaddr*>(&address->storage), address->length);
        return rc == 0 ? 0 : errno;
    };
    int error = bind_socket();
    if (error == EADDRINUSE && is_stale_socket_file(file) && ::unlink(file.c_str()) == 0) {
        error = bind_socket();
    }
    if (error == 0 && listen(fd, kListenBacklog) != 0) error = errno;
    if (error != 0) {
        ::close(fd);
        return std::unexpected(os_error(error));
    }
    return Listener{StreamHandle(fd), file};
}

std::expected<StreamHandle, IoError> accept_connection(const Listener& listener) {
    for (;;) {
        int fd = accept4(fd_of(listener.handle), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            set_no_delay(fd);
            return StreamHandle(fd);
        }
        if (errno != EINTR && errno != ECONNABORTED) return std::unexpected(os_error(errno));
    }
}

// Shutting a listening socket down wakes a blocked accept with an error.
void stop_accepting(const Listener& listener) noexcept {
    (void)::shutdown(fd_of(listener.handle), SHUT_RDWR);
}

void close_listener(const Listener& listener, bool remove_endpoint) noexcept {
    close_socket(listener.handle);
    if (remove_endpoint) (void)::unlink(listener.where.c_str());
}

}  // namespace zelto::platform
