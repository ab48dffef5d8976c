#include "platform/socket.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <utility>

#include "platform/common/socket_address.hpp"
#include "platform/common/streams.hpp"
#include "platform/cpu.hpp"
#include "platform/nonblocking_socket.hpp"
#include "platform/os_error.hpp"
#include "platform/wait_policy.hpp"
#include "platform/windows/pipe_transfer.hpp"

namespace zelto::platform {
namespace {

using windows::handle_of;
using windows::PipeTransfer;
using windows::socket_of;

// Winsock is started once per process, before its first socket or name lookup, and never
// stopped: the process may use sockets until it ends.
void start_winsock() {
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    (void)started;  // a failure shows as WSANOTINITIALISED at the first call
}

IoError last_socket_error() {
    return os_error(WSAGetLastError());
}

IoError last_error() {
    return os_error(static_cast<int>(GetLastError()));
}

StreamHandle socket_stream(SOCKET socket) {
    return StreamHandle(static_cast<intptr_t>(socket), StreamHandle::Kind::Socket);
}

StreamHandle pipe_stream(HANDLE pipe) {
    return StreamHandle(reinterpret_cast<intptr_t>(pipe), StreamHandle::Kind::Pipe);
}

// A socket for overlapped or non-blocking use, not inherited by child processes.
SOCKET new_socket(int family) {
    return WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

std::expected<void, IoError> set_nonblocking(SOCKET socket) {
    u_long on = 1;
    if (ioctlsocket(socket, FIONBIO, &on) != 0) return std::unexpected(last_socket_error());
    return {};
}

void set_no_delay(SOCKET socket) {
    BOOL one = TRUE;
    // Failure is harmless: the connection just keeps Nagle's algorithm.
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                     sizeof one);
}

// Waits for a non-blocking connect to finish; returns its outcome.
std::expected<void, IoError> finish_connect(SOCKET socket, const CallWait& wait) {
    for (;;) {
        if (auto ready = wait_until_ready(socket_stream(socket), Readiness::Writable, wait); !ready)
            return ready;
        int error = 0;
        int length = sizeof error;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
            error = WSAGetLastError();
        if (error != 0) return std::unexpected(os_error(error));
        // The readiness wait also ends on a quiet slice whose look at the socket finds it not
        // saying it would block, which a socket still connecting does (WSAENOTCONN): only a
        // socket that has its peer is connected; one still connecting waits on.
        sockaddr_storage peer{};
        int peer_length = sizeof peer;
        if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0) return {};
        if (WSAGetLastError() != WSAENOTCONN) return std::unexpected(last_socket_error());
    }
}

std::expected<void, IoError> connect_socket(SOCKET socket, const SocketAddress& address,
                                            const CallWait& wait) {
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0)
        return {};
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) return finish_connect(socket, wait);
    return std::unexpected(os_error(error));
}

// Winsock takes lengths as int and counts of buffers as DWORD.
ULONG buffer_length(size_t size) {
    return static_cast<ULONG>(std::min<size_t>(size, INT_MAX));
}

// ---- Pipes -------------------------------------------------------------------------------

// One pipe transfer waited for under `wait`: the bytes it moved, or its error.
std::expected<size_t, IoError> finish_pipe_transfer(PipeTransfer& transfer, const CallWait& wait) {
    if (auto stop = transfer.finish(wait)) return std::unexpected(IoError::stopped(*stop));
    if (transfer.error() != 0) return std::unexpected(os_error(transfer.error()));
    return transfer.bytes();
}

std::expected<void, IoError> send_all_to_pipe(HANDLE pipe, PieceCursor& cursor,
                                              std::chrono::nanoseconds spin, const CallWait& wait) {
    for (;;) {
        std::span<const uint8_t> piece;
        if (cursor.each_unsent(1, [&](std::span<const uint8_t> p) { piece = p; }) == 0) return {};
        PipeTransfer transfer(pipe);
        transfer.write(piece);
        // A pipe whose reader is draining it completes a write within the spin.
        SpinBudget budget(spin);
        while (transfer.in_progress() && budget.again()) {
        }
        auto sent = finish_pipe_transfer(transfer, wait);
        if (!sent) return std::unexpected(sent.error());
        if (*sent == 0) return std::unexpected(library_error("failed to write whole buffer"));
        cursor.advance(*sent);
    }
}

}  // namespace

std::expected<StreamHandle, IoError> connect_tcp(std::string_view address, const CallWait& wait) {
    start_winsock();
    auto addresses = resolve(address, false);
    if (!addresses) return std::unexpected(addresses.error());
    IoError last;
    for (const auto& candidate : *addresses) {
        SOCKET socket = new_socket(candidate.family());
        if (socket == INVALID_SOCKET) {
            last = last_socket_error();
            continue;
        }
        auto connected = set_nonblocking(socket);
        if (connected) connected = connect_socket(socket, candidate, wait);
        if (connected) {
            set_no_delay(socket);
            return socket_stream(socket);
        }
        closesocket(socket);
        // A stopped wait ends the call; another address would only wait again.
        if (connected.error().interrupted() || connected.error().timed_out())
            return std::unexpected(connected.error());
        last = connected.error();
    }
    return std::unexpected(last);
}

std::expected<StreamHandle, IoError> connect_local(std::string_view path, Blocking blocking) {
    if (path.find('\0') != std::string_view::npos)
        return std::unexpected(library_error("paths must not contain interior null bytes"));
    auto name = windows::wide_text(path);
    if (!name) return std::unexpected(last_error());
    // The hybrid client's pipe is its own (no sharing); ZeltoClient's shares read, write and
    // delete access. Both let the server identify the client but never act as it: a process
    // that made a pipe of the expected name first gets no more than the caller's identity. Both
    // are overlapped, so that every wait on them can be cut into slices.
    const bool event_loop = blocking == Blocking::No;
    const DWORD share = event_loop ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
    // No WaitNamedPipe: a pipe whose instances are all busy fails at once (ERROR_PIPE_BUSY).
    HANDLE pipe = CreateFileW(name->c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr,
                              OPEN_EXISTING, flags, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return std::unexpected(last_error());
    return pipe_stream(pipe);
}

std::expected<size_t, IoError> send_some(StreamHandle stream, std::span<const uint8_t> bytes,
                                         bool) {
    if (stream.kind == StreamHandle::Kind::Pipe) {
        PipeTransfer transfer(handle_of(stream));
        transfer.write(bytes);
        return finish_pipe_transfer(transfer, unbounded_wait());
    }
    for (;;) {
        Attempt attempt = try_send(stream, bytes);
        if (attempt.not_ready()) {
            if (auto ready = wait_until_ready(stream, Readiness::Writable, unbounded_wait());
                !ready)
                return std::unexpected(ready.error());
            continue;
        }
        if (attempt.error != 0) return std::unexpected(os_error(attempt.error));
        return attempt.bytes;
    }
}

std::expected<void, IoError> send_all(StreamHandle stream,
                                      std::span<const std::span<const uint8_t>> pieces,
                                      std::chrono::nanoseconds spin, const CallWait& wait) {
    PieceCursor cursor(pieces);
    if (stream.kind == StreamHandle::Kind::Pipe)
        return send_all_to_pipe(handle_of(stream), cursor, spin, wait);
    constexpr size_t kMaxPieces = 8;
    SpinWait spinner(spin);
    for (;;) {
        WSABUF buffers[kMaxPieces];
        DWORD count = 0;
        cursor.each_unsent(kMaxPieces, [&](std::span<const uint8_t> piece) {
            buffers[count++] = {buffer_length(piece.size()),
                                reinterpret_cast<char*>(const_cast<uint8_t*>(piece.data()))};
        });
        if (count == 0) return {};
        DWORD sent = 0;
        // The socket is non-blocking: a full one is retried while the spin lasts and then waited
        // for in slices, so a peer that stops reading cannot hold the call.
        if (WSASend(socket_of(stream), buffers, count, &sent, 0, nullptr, nullptr) != 0) {
            const int error = WSAGetLastError();
            if (error == WSAEINTR) continue;
            if (error != WSAEWOULDBLOCK) return std::unexpected(os_error(error));
            if (spinner.spinning()) {
                spinner.missed();
            } else if (auto ready = wait_until_ready(stream, Readiness::Writable, wait); !ready) {
                return std::unexpected(ready.error());
            }
            continue;
        }
        if (sent == 0) return std::unexpected(library_error("failed to write whole buffer"));
        spinner.progressed();
        cursor.advance(sent);
    }
}

std::expected<size_t, IoError> receive_some(StreamHandle stream, std::span<uint8_t> into,
                                            const CallWait& wait) {
    if (stream.kind == StreamHandle::Kind::Socket) return receive_when_ready(stream, into, wait);
    PipeTransfer transfer(handle_of(stream));
    transfer.read(into);
    auto got = finish_pipe_transfer(transfer, wait);
    // The writer's end closed: the end of the stream.
    if (!got && got.error().os_errno != 0 &&
        windows::pipe_ended(static_cast<DWORD>(got.error().os_errno)))
        return 0;
    return got;
}

std::expected<void, IoError> wait_until_ready(StreamHandle stream, Readiness readiness,
                                              const CallWait& wait) {
    if (stream.kind == StreamHandle::Kind::Pipe)
        return std::unexpected(os_error(ERROR_NOT_SUPPORTED));
    const SOCKET socket = socket_of(stream);
    std::optional<IoError> failure;
    const auto stop = wait_in_slices(wait, [&](WaitSlice& wait_slice) {
        // A wait without limit still wakes every kWaitSlice, for the quiet-slice check below.
        const auto slice_ms = wait_slice.length().value_or(kWaitSlice).count();
        timeval slice{static_cast<long>(slice_ms / 1000),
                      static_cast<long>(slice_ms % 1000) * 1000};
        // A failed connect shows in the exception set, not as writable.
        fd_set wanted, failed;
        FD_ZERO(&wanted);
        FD_ZERO(&failed);
        FD_SET(socket, &wanted);
        FD_SET(socket, &failed);
        const int ready =
            select(0, readiness == Readiness::Readable ? &wanted : nullptr,
                   readiness == Readiness::Writable ? &wanted : nullptr, &failed, &slice);
        if (ready == SOCKET_ERROR && WSAGetLastError() != WSAEINTR) {
            failure = last_socket_error();
            return SliceResult::Done;
        }
        // Ready, not Done: a peer that trickles bytes keeps every slice short, and the signal
        // handlers must run all the same.
        if (ready > 0) return SliceResult::Ready;
        // A select is not woken when another thread shuts the socket down (shut_down_stream),
        // so every quiet slice, even of a wait without limit, also asks the socket itself: one
        // that was shut down no longer says it would block, and the next attempt ends.
        char byte = 0;
        if (recv(socket, &byte, 1, MSG_PEEK) != SOCKET_ERROR || WSAGetLastError() != WSAEWOULDBLOCK)
            return SliceResult::Ready;
        return SliceResult::NotYet;
    });
    if (stop) return std::unexpected(IoError::stopped(*stop));
    if (failure) return std::unexpected(std::move(*failure));
    return {};
}

void close_socket(StreamHandle stream) {
    if (!stream.valid()) return;
    if (stream.kind == StreamHandle::Kind::Pipe) {
        CloseHandle(handle_of(stream));
    } else {
        closesocket(socket_of(stream));
    }
}

// ---- Listeners ------------------------------------------------------------------------------
namespace {

// Connections completed before the listener accepts them: an asyncio client may open a thousand
// at once.
constexpr int kListenBacklog = SOMAXCONN;
// Each pipe instance serves one connection. Several wait for clients at once, so that a client
// arriving while the accepting thread hands a new connection over finds one free rather than
// every instance busy (ERROR_PIPE_BUSY). A client with a pool opens up to 8 connections at once
// (more with several clients or threads), so 16 wait; the accepting thread waits on all of them
// and its stop event in one call, which takes at most 64 handles.
constexpr size_t kWaitingInstances = 16;
constexpr DWORD kPipeBufferSize = 64 * 1024;

// One pipe instance and the overlapped ConnectNamedPipe that waits for its client.
struct PipeInstance {
    enum class State { Empty, Listening, Connected };
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE connected = nullptr;  // set when a client has connected
    OVERLAPPED overlapped{};
    State state = State::Empty;
};

// What a listener is on Windows. stop is set by stop_accepting and wakes a waiting accept.
class ListenerState {
public:
    ListenerState() : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~ListenerState();
    ListenerState(const ListenerState&) = delete;
    ListenerState& operator=(const ListenerState&) = delete;

    HANDLE stop() const { return stop_; }
    bool stopped() const { return WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0; }

    // TCP: the listening socket, and the event FD_ACCEPT sets.
    SOCKET socket = INVALID_SOCKET;
    HANDLE acceptable = nullptr;
    // Pipes: the pipe's name and its instances waiting for clients.
    std::wstring pipe_name;
    std::array<PipeInstance, kWaitingInstances> instances;

private:
    HANDLE stop_;
};

ListenerState::~ListenerState() {
    for (PipeInstance& instance : instances) {
        if (instance.state == PipeInstance::State::Listening) {
            CancelIoEx(instance.pipe, &instance.overlapped);
            DWORD ignored = 0;
            GetOverlappedResult(instance.pipe, &instance.overlapped, &ignored, TRUE);
        }
        if (instance.pipe != INVALID_HANDLE_VALUE) CloseHandle(instance.pipe);
        if (instance.connected != nullptr) CloseHandle(instance.connected);
    }
    if (socket != INVALID_SOCKET) closesocket(socket);
    if (acceptable != nullptr) CloseHandle(acceptable);
    if (stop_ != nullptr) CloseHandle(stop_);
}

ListenerState* state_of(const Listener& listener) {
    return reinterpret_cast<ListenerState*>(listener.handle.value);
}

Listener make_listener(std::unique_ptr<ListenerState> state, StreamHandle::Kind kind,
                       std::string where) {
    return Listener{StreamHandle(reinterpret_cast<intptr_t>(state.release()), kind),
                    std::move(where)};
}

IoError aborted_accept() {
    return os_error(ERROR_OPERATION_ABORTED);
}

// Creates an instance of the pipe. The first instance claims the name: if another listener has
// the pipe already, creating it fails (ERROR_ACCESS_DENIED) instead of joining that listener.
HANDLE create_pipe_instance(const std::wstring& name, bool first) {
    return CreateNamedPipeW(
        name.c_str(),
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, kPipeBufferSize, kPipeBufferSize, 0, nullptr);
}

// Starts waiting for a client on an empty slot: a new instance and its ConnectNamedPipe. A
// client may already have connected to it (it is then Connected at once). Returns the error
// that kept the slot empty, 0 if none.
DWORD listen_on(PipeInstance& instance, const std::wstring& name, bool first) {
    if (instance.connected == nullptr) {
        instance.connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (instance.connected == nullptr) return GetLastError();
    }
    for (;;) {
        if (instance.pipe == INVALID_HANDLE_VALUE) {
            instance.pipe = create_pipe_instance(name, first);
            if (instance.pipe == INVALID_HANDLE_VALUE) return GetLastError();
        }
        instance.overlapped = OVERLAPPED{};
        instance.overlapped.hEvent = instance.connected;
        ResetEvent(instance.connected);
        DWORD error = 0;
        if (!ConnectNamedPipe(instance.pipe, &instance.overlapped)) error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            instance.state = PipeInstance::State::Listening;
            return 0;
        }
        if (error == 0 || error == ERROR_PIPE_CONNECTED) {
            instance.state = PipeInstance::State::Connected;
            return 0;
        }
        CloseHandle(instance.pipe);
        instance.pipe = INVALID_HANDLE_VALUE;
        // A client that came and went before it was seen: wait on a fresh instance.
        if (error != ERROR_NO_DATA) return error;
    }
}

// Fills every empty slot; returns the last error that kept one empty, 0 if none.
DWORD listen_on_all(ListenerState& state) {
    DWORD last = 0;
    for (PipeInstance& instance : state.instances) {
        if (instance.state != PipeInstance::State::Empty) continue;
        if (DWORD error = listen_on(instance, state.pipe_name, false)) last = error;
    }
    return last;
}

std::expected<StreamHandle, IoError> accept_pipe(ListenerState& state) {
    for (;;) {
        const DWORD refill_error = listen_on_all(state);
        std::array<HANDLE, kWaitingInstances + 1> events;
        std::array<PipeInstance*, kWaitingInstances + 1> waiting{};
        DWORD count = 0;
        events[count++] = state.stop();
        for (PipeInstance& instance : state.instances) {
            if (instance.state == PipeInstance::State::Connected) {
                // Handed over as it is; its slot is filled again by the next accept.
                HANDLE pipe = std::exchange(instance.pipe, INVALID_HANDLE_VALUE);
                instance.state = PipeInstance::State::Empty;
                (void)listen_on(instance, state.pipe_name, false);
                return pipe_stream(pipe);
            }
            if (instance.state == PipeInstance::State::Listening) {
                waiting[count] = &instance;
                events[count++] = instance.connected;
            }
        }
        if (count == 1) return std::unexpected(os_error(static_cast<int>(refill_error)));
        const DWORD woke = WaitForMultipleObjects(count, events.data(), FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0) return std::unexpected(aborted_accept());
        if (woke == WAIT_FAILED) return std::unexpected(last_error());
        PipeInstance& instance = *waiting[woke - WAIT_OBJECT_0];
        DWORD ignored = 0;
        if (GetOverlappedResult(instance.pipe, &instance.overlapped, &ignored, FALSE)) {
            instance.state = PipeInstance::State::Connected;
        } else {
            // The client went before it was accepted: the slot listens again.
            CloseHandle(instance.pipe);
            instance.pipe = INVALID_HANDLE_VALUE;
            instance.state = PipeInstance::State::Empty;
        }
    }
}

std::expected<StreamHandle, IoError> accept_socket(ListenerState& state) {
    for (;;) {
        if (state.stopped()) return std::unexpected(aborted_accept());
        SOCKET socket = accept(state.socket, nullptr, nullptr);
        if (socket != INVALID_SOCKET) {
            // An accepted socket inherits the listener's event selection: clear it, so the
            // socket is an ordinary non-blocking one.
            WSAEventSelect(socket, nullptr, 0);
            if (auto made = set_nonblocking(socket); !made) {
                closesocket(socket);
                return std::unexpected(made.error());
            }
            set_no_delay(socket);
            return socket_stream(socket);
        }
        const int error = WSAGetLastError();
        if (error == WSAEINTR || error == WSAECONNRESET) continue;  // an aborted handshake
        if (error != WSAEWOULDBLOCK) return std::unexpected(os_error(error));
        const HANDLE events[] = {state.stop(), state.acceptable};
        const DWORD woke = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0) return std::unexpected(aborted_accept());
        if (woke == WAIT_FAILED) return std::unexpected(last_error());
    }
}

}  // namespace

std::expected<Listener, IoError> listen_tcp(std::string_view address) {
    start_winsock();
    auto addresses = resolve(address, true);
    if (!addresses) return std::unexpected(addresses.error());
    IoError last;
    for (const auto& candidate : *addresses) {
        auto state = std::make_unique<ListenerState>();
        state->acceptable = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (state->stop() == nullptr || state->acceptable == nullptr)
            return std::unexpected(last_error());
        state->socket = new_socket(candidate.family());
        if (state->socket == INVALID_SOCKET) {
            last = last_socket_error();
            continue;
        }
        // No SO_REUSEADDR: on Windows it would let a second listener take the same port.
        if (bind(state->socket, reinterpret_cast<const sockaddr*>(&candidate.storage),
                 candidate.length) != 0 ||
            listen(state->socket, kListenBacklog) != 0 ||
            WSAEventSelect(state->socket, state->acceptable, FD_ACCEPT) != 0) {
            last = last_socket_error();
            continue;
        }
        sockaddr_storage bound{};
        int length = sizeof bound;
        if (getsockname(state->socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            last = last_socket_error();
            continue;
        }
        return make_listener(std::move(state), StreamHandle::Kind::Socket, format_address(bound));
    }
    return std::unexpected(last);
}

std::expected<Listener, IoError> listen_local(std::string_view path) {
    if (path.find('\0') != std::string_view::npos)
        return std::unexpected(library_error("paths must not contain interior null bytes"));
    auto name = windows::wide_text(path);
    if (!name) return std::unexpected(last_error());
    auto state = std::make_unique<ListenerState>();
    if (state->stop() == nullptr) return std::unexpected(last_error());
    state->pipe_name = std::move(*name);
    // The first instance exists once this returns, so a client may connect before the first
    // accept; the others follow it.
    if (DWORD error = listen_on(state->instances[0], state->pipe_name, true))
        return std::unexpected(os_error(static_cast<int>(error)));
    (void)listen_on_all(*state);
    return make_listener(std::move(state), StreamHandle::Kind::Pipe, std::string(path));
}

std::expected<StreamHandle, IoError> accept_connection(const Listener& listener) {
    ListenerState& state = *state_of(listener);
    return listener.handle.kind == StreamHandle::Kind::Pipe ? accept_pipe(state)
                                                            : accept_socket(state);
}

void stop_accepting(const Listener& listener) noexcept {
    SetEvent(state_of(listener)->stop());
}

// The pipe's name goes with its last handle, so there is nothing more to remove.
void close_listener(const Listener& listener, bool) noexcept {
    delete state_of(listener);
}

}  // namespace zelto::platform
