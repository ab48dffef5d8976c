// Stream endpoints: TCP sockets and local stream endpoints, for clients and for the reference
// server. A local endpoint is a Unix-domain stream socket on POSIX systems and a named pipe on
// Windows. Every failure is an IoError with the system's text; no call raises a signal (writes
// use MSG_NOSIGNAL) and interrupted calls are resumed. A call that takes a CallWait never sleeps
// in a system call for longer than one of its slices: it polls, asks the wait whether to stop,
// and ends with IoError::stopped when a signal handler raised or the deadline passed.
//
// On Windows every stream this layer hands out is used through its functions only: sockets are
// kept non-blocking and pipe handles are opened for overlapped I/O, so that every wait can be
// cut into slices.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "platform/call_wait.hpp"
#include "platform/io_error.hpp"
#include "platform/stream_handle.hpp"

namespace zelto::platform {

// Connects to "host:port". A literal "a.b.c.d:port" or "[v6]:port" is used as is; otherwise the
// host is resolved and each address is tried in the resolver's order (the last error wins). The
// connect itself is non-blocking and waited for under `wait` (a listener with a full backlog
// drops the handshake, and the kernel would retry it for minutes); a stop ends the whole
// connect. TCP_NODELAY is set when possible. The socket returned is blocking (on Windows it stays
// non-blocking, as every socket there does).
std::expected<StreamHandle, IoError> connect_tcp(std::string_view address,
                                                 const CallWait& wait = unbounded_wait());

// Whether local stream endpoints are the system's named pipes, named "\\.\pipe\NAME"
// (Windows), rather than socket files.
#if defined(_WIN32)
inline constexpr bool kNamedPipes = true;
#else
inline constexpr bool kNamedPipes = false;
#endif

enum class Blocking { Yes, No };

// Connects to the local stream endpoint at `path`, failing at once when nobody listens there or
// the listener is busy; nothing waits or retries.
// POSIX: `path` is a socket file. The connect itself is non-blocking so a listener with a full
// backlog fails at once with EAGAIN; the socket is then made blocking unless `blocking` is
// Blocking::No.
// Windows: `path` is opened with CreateFileW for reading and writing, always for overlapped I/O
// (the peer cannot tell), giving the server the client's identity for identification only.
// Blocking::Yes opens it as ZeltoClient does (shared); Blocking::No as the hybrid client's event
// loop does (not shared). A missing pipe is ERROR_FILE_NOT_FOUND,
// one whose instances are all in use ERROR_PIPE_BUSY.
std::expected<StreamHandle, IoError> connect_local(std::string_view path,
                                                   Blocking blocking = Blocking::Yes);

// One send (MSG_NOSIGNAL; EINTR retried). `more` tells the kernel more data follows at once, so
// a small header and its payload can leave in one segment.
std::expected<size_t, IoError> send_some(StreamHandle stream, std::span<const uint8_t> bytes,
                                         bool more = false);

// Sends every byte; a send that accepts nothing is "failed to write whole buffer".
std::expected<void, IoError> send_all(StreamHandle stream, std::span<const uint8_t> bytes,
                                      bool more = false);

// Sends the pieces one after another as one stream of bytes, gathered into as few system calls
// as the socket allows (one, usually): the peer receives exactly their concatenation. While the
// socket is full, the thread retries without blocking for up to `spin` since the last bytes went
// out before it waits for room under `wait`: a peer that keeps draining a large write is then
// never waited for asleep. Pieces of at most kGatherInto bytes in all are copied together and
// sent as one.
inline constexpr size_t kGatherInto = 1024;
std::expected<void, IoError> send_all(StreamHandle stream,
                                      std::span<const std::span<const uint8_t>> pieces,
                                      std::chrono::nanoseconds spin = {},
                                      const CallWait& wait = unbounded_wait());

// Receives at least one byte into `into` (not empty), waiting for it under `wait`; 0 is the end
// of the stream. POSIX, and Windows sockets: waits until the socket is readable, then receives.
// Windows pipes: one overlapped read, waited for in slices and cancelled when the wait stops
// (bytes that arrived meanwhile are still returned).
std::expected<size_t, IoError> receive_some(StreamHandle stream, std::span<uint8_t> into,
                                            const CallWait& wait);

enum class Readiness { Readable, Writable };

// Waits until the socket can be read from or written to (or has failed: the next attempt then
// reports the error), in slices of `wait`: between slices it asks the wait whether to stop, and
// it ends once the deadline has passed. A wait that can neither stop nor expire sleeps in one
// poll. Sockets only: Windows has no readiness wait on a pipe (ERROR_NOT_SUPPORTED there);
// receive_some and send_all wait on both kinds.
std::expected<void, IoError> wait_until_ready(StreamHandle stream, Readiness readiness,
                                              const CallWait& wait);

void close_socket(StreamHandle stream);

// Server side.
struct Listener {
    // POSIX: the listening socket. Windows: the platform's own state of the listener (its socket
    // or its next pipe instance, and what wakes a waiting accept), freed by close_listener.
    StreamHandle handle;
    std::string where;  // TCP: the bound "ip:port"; local: the socket file or pipe path
};

// Binds and listens on "host:port" (resolved like connect_tcp; port 0 picks a free port).
std::expected<Listener, IoError> listen_tcp(std::string_view address);

// Binds and listens on a local socket file. A socket file that nobody listens on any more is
// removed first; a live listener or a file that is not a socket is left alone (EADDRINUSE).
// Windows: creates the named pipe `path` (byte mode, any number of instances, one instance per
// connection); a pipe of that name made by another listener is an error (ERROR_ACCESS_DENIED).
std::expected<Listener, IoError> listen_local(std::string_view path);

// Waits for a connection (EINTR and aborted handshakes retried).
std::expected<StreamHandle, IoError> accept_connection(const Listener& listener);

// Makes a thread waiting in accept_connection on `listener` return (with an error) and refuses
// connections from then on. The listener is still to be closed with close_listener.
void stop_accepting(const Listener& listener) noexcept;

// Closes the listener; with `remove_endpoint`, a local endpoint's name (the socket file) is
// removed too, so that nothing seems to listen there any more. A named pipe's name goes with its
// last instance.
void close_listener(const Listener& listener, bool remove_endpoint) noexcept;

}  // namespace zelto::platform
