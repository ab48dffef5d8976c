// The resolved settings of a ZeltoClient and their resolution from constructor arguments.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "transport/errors.hpp"

namespace zelto {

inline constexpr std::string_view kDefaultHost = "127.0.0.1";
inline constexpr uint16_t kDefaultPort = 9096;
inline constexpr std::string_view kDefaultPipePath = "\\\\.\\pipe\\zelto";
inline constexpr std::string_view kPipeNamespace = "\\\\.\\pipe\\";
inline constexpr uint64_t kDefaultMaxPoolSize = 8;

struct Endpoint {
    enum class Kind { Tcp, Pipe };
    Kind kind = Kind::Pipe;
    std::string address;  // host:port for Tcp, the pipe path for Pipe

    std::string_view protocol() const { return kind == Kind::Tcp ? "tcp" : "pipe"; }
    std::string display() const { return (kind == Kind::Tcp ? "tcp://" : "pipe://") + address; }
};

struct ClientConfig {
    Endpoint endpoint;
    std::optional<std::string> api_token;
    uint64_t max_pool_size = kDefaultMaxPoolSize;
};

struct ConfigArguments {
    std::optional<std::string> endpoint, protocol, host;
    std::optional<uint16_t> port;
    std::optional<std::string> socket_path, pipe_name;
    uint64_t max_pool_size = kDefaultMaxPoolSize;
    std::optional<std::string> api_token;
};

std::expected<ClientConfig, Error> resolve_client_config(ConfigArguments args);
std::expected<Endpoint, Error> parse_endpoint(std::string_view text);
std::string normalize_pipe_name(std::string_view name);

// The local stream endpoint a pipe path names. Where the system has named pipes (Windows) that
// is the path itself. Elsewhere it is a socket file: "\\.\pipe\NAME" is "/tmp/NAME"; any
// other path is the socket file itself.
std::string pipe_socket_path(std::string_view path);

// Removes leading and trailing Unicode White_Space from UTF-8 text.
std::string_view trim_white_space(std::string_view text);

}  // namespace zelto
