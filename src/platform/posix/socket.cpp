#include "platform/socket.hpp"

#include <arpa/inet.h>
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

#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/cpu.hpp"
#include "platform/os_error.hpp"
#include "platform/posix/descriptor.hpp"
#include "platform/wait_policy.hpp"

namespace zelto::platform {
namespace {

// An address ready for connect or bind.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
};

// An error made by the library itself rather than reported by the system.
IoError library_error(std::string message) {
    return custom_error(IoCategory::Other, std::move(message));
}

// A decimal port 0..65535, digits only.
std::optional<uint16_t> parse_port(std::string_view text) {
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

std::optional<SocketAddress> ipv4_address(const std::string& host, uint16_t port) {
    SocketAddress address;
    auto* in = reinterpret_cast<sockaddr_in*>(&address.storage);
    if (inet_pton(AF_INET, host.c_str(), &in->sin_addr) != 1) return std::nullopt;
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    address.length = sizeof(sockaddr_in);
    return address;
}

// "addr" or "addr%scope" with a numeric scope id.
std::optional<SocketAddress> ipv6_address(std::string_view host, uint16_t port) {
    uint32_t scope = 0;
    if (auto percent = host.find('%'); percent != std::string_view::npos) {
        std::string_view scope_text = host.substr(percent + 1);
        auto [end, ec] =
            std::from_chars(scope_text.data(), scope_text.data() + scope_text.size(), scope);
        if (scope_text.empty() || ec != std::errc() || end != scope_text.data() + scope_text.size())
            return std::nullopt;
        host = host.substr(0, percent);
    }
    SocketAddress address;
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    if (inet_pton(AF_INET6, std::string(host).c_str(), &in6->sin6_addr) != 1) return std::nullopt;
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    in6->sin6_scope_id = scope;
    address.length = sizeof(sockaddr_in6);
    return address;
}

// "a.b.c.d:port" or "[v6]:port", without the resolver.
std::optional<SocketAddress> literal_address(std::string_view text) {
    if (!text.empty() && text.front() == '[') {
        auto close = text.find("]:");
        if (close == std::string_view::npos) return std::nullopt;
        auto port = parse_port(text.substr(close + 2));
        if (!port) return std::nullopt;
        return ipv6_address(text.substr(1, close - 1), *port);
    }
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto port = parse_port(text.substr(colon + 1));
    if (!port) return std::nullopt;
    return ipv4_address(std::string(text.substr(0, colon)), *port);
}

// Every address for "host:port", in the resolver's order.
std::expected<std::vector<SocketAddress>, IoError> resolve(std::string_view text, bool passive) {
    // inet_pton stops at a NUL, so a text carrying one is never taken as a literal address:
    // "127.0.0.1\0junk:80" must not quietly connect to 127.0.0.1.
    if (text.find('\0') == std::string_view::npos) {
        if (auto literal = literal_address(text)) return std::vector<SocketAddress>{*literal};
    }
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return std::unexpected(library_error("invalid socket address"));
    auto port = parse_port(text.substr(colon + 1));
    if (!port) return std::unexpected(library_error("invalid port value"));
    std::string host(text.substr(0, colon));
    if (host.find('\0') != std::string::npos) {
        return std::unexpected(library_error("data provided contains a nul byte"));
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (passive) hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        return std::unexpected(library_error(std::string("failed to lookup address information: ") +
                                             gai_strerror(rc)));
    }
    std::vector<SocketAddress> addresses;
    for (addrinfo* info = found; info != nullptr; info = info->ai_next) {
        if (info->ai_family != AF_INET && info->ai_family != AF_INET6) continue;
        if (info->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress address;
        std::memcpy(&address.storage, info->ai_addr, info->ai_addrlen);
        address.length = info->ai_addrlen;
        if (info->ai_family == AF_INET) {
            reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(*port);
        } else {
            reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(*port);
        }
        addresses.push_back(address);
    }
    freeaddrinfo(found);
    if (addresses.empty())
        return std::unexpected(library_error("could not resolve to any addresses"));
    return addresses;
}

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

std::string format_address(const sockaddr_storage& storage) {
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        std::string address = "[";
        address += text;
        address += "]:";
        address += std::to_string(ntohs(in6->sin6_port));
        return address;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(in->sin_port));
}

constexpr int kListenBacklog = 128;

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

std::expected<void, IoError> send_all(StreamHandle stream, std::span<const uint8_t> bytes,
                                      bool more) {
    while (!bytes.empty()) {
        auto sent = send_some(stream, bytes, more);
        if (!sent) return std::unexpected(sent.error());
        if (*sent == 0) return std::unexpected(library_error("failed to write whole buffer"));
        bytes = bytes.subspan(*sent);
    }
    return {};
}

std::expected<void, IoError> send_all(StreamHandle stream,
                                      std::span<const std::span<const uint8_t>> pieces,
                                      std::chrono::nanoseconds spin, const CallWait& wait) {
    const int fd = fd_of(stream);
    // Up to kMaxPieces iovecs per system call; pieces are few (a frame header, a body around
    // the caller's data), so this is one call unless the socket takes only part of the bytes.
    constexpr size_t kMaxPieces = 8;
    // A small message is copied into one buffer first: the kernel takes one contiguous piece
    // faster than it gathers several, which is a measurable share of a small round trip.
    std::array<uint8_t, kGatherInto> gathered;
    std::span<const uint8_t> single[1];
    size_t total = 0;
    for (auto piece : pieces) total += piece.size();
    if (pieces.size() > 1 && total <= gathered.size()) {
        size_t at = 0;
        for (auto piece : pieces) {
            if (piece.empty()) continue;
            std::memcpy(gathered.data() + at, piece.data(), piece.size());
            at += piece.size();
        }
        single[0] = std::span<const uint8_t>(gathered.data(), total);
        pieces = single;
    }
    size_t next = 0;    // first piece not yet completely sent
    size_t offset = 0;  // bytes of that piece already sent
    SpinWait spinner(spin);
    while (next < pieces.size()) {
        iovec iov[kMaxPieces];
        size_t count = 0;
        for (size_t i = next; i < pieces.size() && count < kMaxPieces; ++i) {
            std::span<const uint8_t> piece = pieces[i].subspan(i == next ? offset : 0);
            if (piece.empty()) continue;
            iov[count++] = {const_cast<uint8_t*>(piece.data()), piece.size()};
        }
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
        size_t left = static_cast<size_t>(sent);
        while (next < pieces.size() && left >= pieces[next].size() - offset) {
            left -= pieces[next].size() - offset;
            ++next;
            offset = 0;
        }
        offset += left;
    }
    return {};
}

std::expected<void, IoError> wait_until_ready(StreamHandle stream, Readiness readiness,
                                              const CallWait& wait) {
    pollfd entry{fd_of(stream),
                 static_cast<short>(readiness == Readiness::Readable ? POLLIN : POLLOUT), 0};
    const bool bounded = wait.interrupted || wait.deadline;
    for (;;) {
        int timeout_ms = -1;
        if (bounded) {
            const auto now = CallWait::Clock::now();
            if (wait.expired(now)) return std::unexpected(IoError::stopped(WaitStop::TimedOut));
            timeout_ms = static_cast<int>(wait.slice(now).count());
        }
        const int ready = ::poll(&entry, 1, timeout_ms);
        if (ready < 0 && errno != EINTR) return std::unexpected(os_error(errno));
        // Also after a successful poll: a peer that trickles bytes keeps every slice short, and
        // the signal handlers must run all the same.
        if (wait.must_stop()) return std::unexpected(IoError::stopped(WaitStop::Interrupted));
        if (ready > 0) return {};
    }
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
