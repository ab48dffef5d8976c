#include "platform/common/socket_address.hpp"

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <netdb.h>
#endif

#include <charconv>
#include <cstring>
#include <optional>

#include "platform/os_error.hpp"

namespace zelto::platform {
namespace {

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

}  // namespace

// An error made by the library itself rather than reported by the system.
IoError library_error(std::string message) {
    return custom_error(IoCategory::Other, std::move(message));
}

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
                                             resolver_error_text(rc)));
    }
    std::vector<SocketAddress> addresses;
    for (addrinfo* info = found; info != nullptr; info = info->ai_next) {
        if (info->ai_family != AF_INET && info->ai_family != AF_INET6) continue;
        if (info->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress address;
        std::memcpy(&address.storage, info->ai_addr, info->ai_addrlen);
        address.length = static_cast<socklen_t>(info->ai_addrlen);
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

}  // namespace zelto::platform
