// Resolution of ZeltoClient's constructor arguments into one ClientConfig. Pure logic: nothing
// is opened or looked up here, so an unreachable server is noticed only by the first request.
#include "transport/config.hpp"

#include <array>

#include "platform/socket.hpp"

namespace zelto {
namespace {

// UTF-8 encodings of the non-ASCII Unicode White_Space characters: U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000. (U+001C..U+001F are not in the set.)
constexpr std::array<std::string_view, 19> kMultiByteWhiteSpace = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
    "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
    "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
    "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",
};

bool is_ascii_white_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_multi_byte_white_space(std::string_view encoded) {
    for (std::string_view w : kMultiByteWhiteSpace)
        if (encoded == w) return true;
    return false;
}

// Byte length of the white-space character that starts `text`, or 0.
size_t leading_white_space(std::string_view text) {
    if (text.empty()) return 0;
    if (is_ascii_white_space(text.front())) return 1;
    for (size_t n : {size_t{2}, size_t{3}})
        if (text.size() >= n && is_multi_byte_white_space(text.substr(0, n))) return n;
    return 0;
}

// Byte length of the white-space character that ends `text`, or 0.
size_t trailing_white_space(std::string_view text) {
    if (text.empty()) return 0;
    if (is_ascii_white_space(text.back())) return 1;
    for (size_t n : {size_t{2}, size_t{3}})
        if (text.size() >= n && is_multi_byte_white_space(text.substr(text.size() - n))) return n;
    return 0;
}

// Trims the text; empty after trimming counts as absent.
std::optional<std::string> trimmed(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    std::string_view t = trim_white_space(*value);
    if (t.empty()) return std::nullopt;
    return std::string(t);
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

constexpr std::string_view kTcpScheme = "tcp://";
constexpr std::string_view kUnixScheme = "unix://";
constexpr std::string_view kPipeScheme = "pipe://";

Endpoint tcp(std::string address) {
    return Endpoint{Endpoint::Kind::Tcp, std::move(address)};
}
Endpoint pipe(std::string path) {
    return Endpoint{Endpoint::Kind::Pipe, std::move(path)};
}

std::expected<Endpoint, Error> config_error(std::string message) {
    return std::unexpected(Error{ErrorKind::Config, std::move(message)});
}

Endpoint tcp_from_host_port(const std::optional<std::string>& host, std::optional<uint16_t> port) {
    std::string address = host ? *host : std::string(kDefaultHost);
    address += ':';
    address += std::to_string(port.value_or(kDefaultPort));
    return tcp(std::move(address));
}

// The settings after trimming, as resolution sees them.
struct Trimmed {
    std::optional<std::string> endpoint, host, socket_path, pipe_name;
    std::optional<uint16_t> port;
};

std::expected<Endpoint, Error> resolve_tcp(const Trimmed& a) {
    if (a.socket_path || a.pipe_name)
        return config_error("protocol='tcp' cannot be combined with socket_path or pipe_name");
    if (!a.endpoint) return tcp_from_host_port(a.host, a.port);
    if (a.port || a.host)
        return config_error("When endpoint is provided, do not also pass host/port");
    const std::string& text = *a.endpoint;
    if (starts_with(text, kTcpScheme)) {
        if (text.size() == kTcpScheme.size())
            return config_error("tcp:// endpoint must include host:port");
        return tcp(text.substr(kTcpScheme.size()));
    }
    if (text.find("://") != std::string::npos)
        return config_error("protocol='tcp' expects endpoint as host:port or tcp://host:port");
    return tcp(text);
}

std::expected<Endpoint, Error> resolve_socket(const Trimmed& a) {
    if (a.port || a.host || a.pipe_name)
        return config_error("protocol='socket' cannot be combined with host/port/pipe_name");
    if (a.socket_path) return parse_endpoint(*a.socket_path);
    if (a.endpoint) return parse_endpoint(*a.endpoint);
    return pipe(std::string(kDefaultPipePath));
}

std::expected<Endpoint, Error> resolve_pipe(const Trimmed& a) {
    if (a.port || a.host || a.socket_path)
        return config_error("protocol='pipe' cannot be combined with host/port/socket_path");
    std::string name = a.pipe_name  ? *a.pipe_name
                       : a.endpoint ? *a.endpoint
                                    : std::string(kDefaultPipePath);
    if (starts_with(name, kPipeScheme)) {
        if (name.size() == kPipeScheme.size())
            return config_error("pipe:// endpoint must include a pipe name");
        return pipe(normalize_pipe_name(std::string_view(name).substr(kPipeScheme.size())));
    }
    if (starts_with(name, kTcpScheme) || starts_with(name, kUnixScheme))
        return config_error("protocol='pipe' expects a named pipe path");
    return pipe(normalize_pipe_name(name));
}

std::expected<Endpoint, Error> resolve_by_precedence(const Trimmed& a) {
    if (a.endpoint) return parse_endpoint(*a.endpoint);
    if (a.host || a.port) return tcp_from_host_port(a.host, a.port);
    if (a.socket_path) return parse_endpoint(*a.socket_path);
    if (a.pipe_name) return pipe(normalize_pipe_name(*a.pipe_name));
    return pipe(std::string(kDefaultPipePath));
}

std::expected<Endpoint, Error> resolve_endpoint(const Trimmed& a,
                                                const std::optional<std::string>& protocol) {
    if (!protocol) return resolve_by_precedence(a);
    std::string name = ascii_lower(*protocol);
    if (name == "tcp") return resolve_tcp(a);
    if (name == "socket" || name == "unix" || name == "local") return resolve_socket(a);
    if (name == "pipe" || name == "named_pipe" || name == "named-pipe") return resolve_pipe(a);
    return config_error("Unsupported protocol '" + name + "'. Use one of: socket, tcp, pipe");
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
    while (size_t n = leading_white_space(text)) text.remove_prefix(n);
    while (size_t n = trailing_white_space(text)) text.remove_suffix(n);
    return text;
}

std::string normalize_pipe_name(std::string_view name) {
    if (starts_with(name, kPipeNamespace)) return std::string(name);
    std::string path(kPipeNamespace);
    path += name;
    return path;
}

std::string pipe_socket_path(std::string_view path) {
    if (platform::kNamedPipes) return std::string(path);
    if (path.starts_with(kPipeNamespace)) {
        return "/tmp/" + std::string(path.substr(kPipeNamespace.size()));
    }
    return std::string(path);
}

std::expected<Endpoint, Error> parse_endpoint(std::string_view text) {
    if (starts_with(text, kTcpScheme)) {
        if (text.size() == kTcpScheme.size())
            return config_error("tcp:// endpoint must include host:port");
        return tcp(std::string(text.substr(kTcpScheme.size())));
    }
    if (starts_with(text, kUnixScheme))
        return config_error("unix:// endpoints are only supported on Unix");
    if (starts_with(text, kPipeScheme)) {
        if (text.size() == kPipeScheme.size())
            return config_error("pipe:// endpoint must include a pipe name");
        return pipe(normalize_pipe_name(text.substr(kPipeScheme.size())));
    }
    return pipe(std::string(text));
}

std::expected<ClientConfig, Error> resolve_client_config(ConfigArguments args) {
    Trimmed a{trimmed(args.endpoint), trimmed(args.host), trimmed(args.socket_path),
              trimmed(args.pipe_name), args.port};
    auto endpoint = resolve_endpoint(a, trimmed(args.protocol));
    if (!endpoint) return std::unexpected(std::move(endpoint.error()));
    return ClientConfig{std::move(*endpoint), std::move(args.api_token), args.max_pool_size};
}

}  // namespace zelto
