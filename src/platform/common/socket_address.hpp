// Socket addresses for both systems' socket code: literal addresses, the resolver and the
// bound address's text. Winsock and the POSIX socket API agree on all of it.
#pragma once

#if defined(_WIN32)
#include "platform/windows/system.hpp"
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io_error.hpp"

namespace zelto::platform {

// An address ready for connect or bind.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
};

// An error made by the library itself rather than reported by the system.
IoError library_error(std::string message);

// Every address for "host:port", in the resolver's order. A literal "a.b.c.d:port" or
// "[v6]:port" is used as is. `passive` asks for addresses to bind to. On Windows, Winsock must
// have been started first.
std::expected<std::vector<SocketAddress>, IoError> resolve(std::string_view text, bool passive);

// The system's text for a resolver failure `code` (getaddrinfo's result): gai_strerror on POSIX
// systems, the Winsock error's message on Windows.
std::string resolver_error_text(int code);

// "ip:port" or "[v6]:port".
std::string format_address(const sockaddr_storage& storage);

}  // namespace zelto::platform
