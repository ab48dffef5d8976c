#include "platform/nonblocking_socket.hpp"

#include <algorithm>
#include <climits>

#include "platform/windows/pipe_transfer.hpp"

namespace zelto::platform {
namespace {

using windows::handle_of;
using windows::kNotReady;
using windows::pipe_ended;
using windows::PipeTransfer;
using windows::socket_of;

// Winsock takes lengths as int.
int socket_length(size_t size) {
    return static_cast<int>(std::min<size_t>(size, INT_MAX));
}

// What one socket call returned: bytes, or the error of a failure (interrupted calls resumed).
template <typename Call>
Attempt socket_attempt(Call call) noexcept {
    for (;;) {
        const int moved = call();
        if (moved != SOCKET_ERROR) return Attempt{static_cast<size_t>(moved), 0};
        const int error = WSAGetLastError();
        if (error != WSAEINTR) return Attempt{0, error};
    }
}

// A receive from a socket that this side shut down is the end of the stream, as on POSIX
// systems, rather than WSAESHUTDOWN.
Attempt ended_if_shut_down(Attempt attempt) noexcept {
    return attempt.error == WSAESHUTDOWN ? Attempt{0, 0} : attempt;
}

// What waits in a pipe: a count of bytes, the end of the stream, or a failure to tell.
struct PipeContent {
    DWORD waiting = 0;
    bool ended = false;
    DWORD error = 0;
};

PipeContent pipe_content(HANDLE pipe) noexcept {
    DWORD waiting = 0;
    if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return {waiting, false, 0};
    const DWORD error = GetLastError();
    if (pipe_ended(error)) return {0, true, 0};
    return {0, false, error};
}

// A pipe transfer that may have had to wait: the attempt waits it out (see the header).
Attempt pipe_attempt(PipeTransfer& transfer) noexcept {
    (void)transfer.finish(unbounded_wait());
    return Attempt{transfer.bytes(), static_cast<int>(transfer.error())};
}

}  // namespace

bool Attempt::not_ready() const noexcept {
    return error == kNotReady;
}

bool Attempt::reset_by_peer() const noexcept {
    return error == WSAECONNRESET;
}

Attempt try_send(StreamHandle stream, std::span<const uint8_t> bytes) noexcept {
    if (stream.kind == StreamHandle::Kind::Pipe) {
        PipeTransfer transfer(handle_of(stream));
        transfer.write(bytes);
        return pipe_attempt(transfer);
    }
    return socket_attempt([&] {
        return ::send(socket_of(stream), reinterpret_cast<const char*>(bytes.data()),
                      socket_length(bytes.size()), 0);
    });
}

Attempt try_receive(StreamHandle stream, std::span<uint8_t> out) noexcept {
    if (stream.kind == StreamHandle::Kind::Pipe) {
        // Reads only what is there, so the read completes at once.
        const PipeContent content = pipe_content(handle_of(stream));
        if (content.error != 0) return Attempt{0, static_cast<int>(content.error)};
        if (content.ended) return Attempt{0, 0};
        if (content.waiting == 0 || out.empty()) return Attempt{0, kNotReady};
        PipeTransfer transfer(handle_of(stream));
        transfer.read(out.first(std::min<size_t>(out.size(), content.waiting)));
        Attempt attempt = pipe_attempt(transfer);
        if (pipe_ended(static_cast<DWORD>(attempt.error))) return Attempt{0, 0};
        return attempt;
    }
    return ended_if_shut_down(socket_attempt([&] {
        return ::recv(socket_of(stream), reinterpret_cast<char*>(out.data()),
                      socket_length(out.size()), 0);
    }));
}

Attempt try_peek(StreamHandle stream) noexcept {
    if (stream.kind == StreamHandle::Kind::Pipe) {
        const PipeContent content = pipe_content(handle_of(stream));
        if (content.error != 0) return Attempt{0, static_cast<int>(content.error)};
        if (content.ended) return Attempt{0, 0};
        if (content.waiting == 0) return Attempt{0, kNotReady};
        return Attempt{1, 0};
    }
    char byte = 0;
    return ended_if_shut_down(
        socket_attempt([&] { return ::recv(socket_of(stream), &byte, 1, MSG_PEEK); }));
}

void shut_down_stream(StreamHandle stream) noexcept {
    if (stream.kind == StreamHandle::Kind::Pipe) {
        // Only a server's end can be disconnected; on a client's end the call fails harmlessly.
        (void)DisconnectNamedPipe(handle_of(stream));
        (void)CancelIoEx(handle_of(stream), nullptr);
        return;
    }
    (void)::shutdown(socket_of(stream), SD_BOTH);
}

}  // namespace zelto::platform
