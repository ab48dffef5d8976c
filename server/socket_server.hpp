// The socket protocol side of the reference server: a listener thread per endpoint and a
// thread per connection, answering request frames one after another.
#pragma once

#include <string_view>

#include "service.hpp"

namespace zelto::server {

// Listens on "HOST:PORT" (port 0 picks a free port) and prints "listening on tcp IP:PORT".
StartResult start_tcp_service(std::string_view address);

// Listens on a local stream socket (\\.\pipe\NAME is /tmp/NAME), replacing a stale socket file
// left by a dead server, and prints "listening on pipe FILE". The file is removed at stop.
StartResult start_pipe_service(std::string_view path);

}  // namespace zelto::server
