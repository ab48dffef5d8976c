// Connected stream endpoints for tests, made through the platform layer as the clients and the
// server make theirs: a local endpoint (a socket file on POSIX systems, a named pipe on Windows)
// or TCP on the loopback address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/socket.hpp"

namespace zelto::test_streams {

// A local endpoint that nothing uses, in this process or in one running beside it: a path in
// the temporary directory, or "\\.\pipe\zelto-test-..." where endpoints are named pipes.
std::string unique_local_endpoint(std::string_view tag);

// Two connected ends, each to be closed by whoever ends up owning it.
struct StreamEnds {
    platform::StreamHandle client, server;
};

// The client end is opened as the blocking clients open theirs, or (Blocking::No) as an event
// loop's; the server end is an accepted connection.
StreamEnds local_pair(platform::Blocking blocking = platform::Blocking::Yes);
StreamEnds tcp_pair();

// Makes a socket's send and receive buffers small, so that large transfers go in many pieces.
void shrink_socket_buffers(platform::StreamHandle socket, int bytes);

// Receives exactly `into.size()` bytes; false at the end of the stream or on an error.
bool receive_exactly(platform::StreamHandle stream, std::span<uint8_t> into);

// The system's text for a write to a connection whose peer has gone.
std::string broken_pipe_text();

}  // namespace zelto::test_streams
