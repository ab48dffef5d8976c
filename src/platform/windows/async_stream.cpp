#include "platform/async_stream.hpp"

#include <windows.h>

#include <algorithm>

#include <asio/error.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/socket.hpp"

namespace zelto::platform {
namespace {

HANDLE handle_of(StreamHandle stream) noexcept {
    return reinterpret_cast<HANDLE>(stream.value);
}

Transfer moved(size_t bytes) {
    return Transfer{Transfer::Outcome::Moved, bytes, 0};
}

Transfer not_ready() {
    return Transfer{Transfer::Outcome::NotReady, 0, 0};
}

Transfer ended() {
    return Transfer{Transfer::Outcome::Ended, 0, 0};
}

// A pipe whose server closed its end reads as broken or disconnected, not as ended.
Transfer failed(DWORD error) {
    if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ||
        error == ERROR_HANDLE_EOF) {
        return ended();
    }
    return Transfer{Transfer::Outcome::Failed, 0, static_cast<int>(error)};
}

// Asio reports a handle's failures with their Windows code in the system category; the only
// other code a transfer can end with is the end of the stream.
Transfer from_completion(const asio::error_code& ec, size_t bytes) {
    if (!ec) return moved(bytes);
    if (ec == asio::error::eof) return ended();
    return failed(static_cast<DWORD>(ec.value()));
}

// The event that attempts complete on, made on the first attempt, with its low bit set as the
// OVERLAPPED wants it: then an attempt's completion is not reported to the completion port the
// handle may be associated with, and the loop never sees an operation that is not its own.
std::optional<Transfer> attempt_event(intptr_t& event, HANDLE& tagged) noexcept {
    if (event == 0) {
        HANDLE made = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (made == nullptr) return failed(::GetLastError());
        event = reinterpret_cast<intptr_t>(made);
    }
    tagged = reinterpret_cast<HANDLE>(event | 1);
    return std::nullopt;
}

}  // namespace

std::expected<AsyncStreamObject, int> adopt(asio::io_context& io, StreamHandle stream) {
    AsyncStreamObject object(io);
    asio::error_code ec;
    object.assign(handle_of(stream), ec);
    if (ec) return std::unexpected(ec.value());
    return object;
}

namespace {

// Makes the stream's object in `io` on its first transfer: a handle is associated with one
// completion port for good. Nothing, or the failure.
std::optional<Transfer> adopt_once(std::optional<AsyncStreamObject>& adopted, asio::io_context& io,
                                   StreamHandle stream) {
    if (adopted) return std::nullopt;
    auto object = adopt(io, stream);
    if (!object) return failed(static_cast<DWORD>(object.error()));
    adopted.emplace(std::move(*object));
    return std::nullopt;
}

}  // namespace

int broken_stream_error() noexcept {
    return ERROR_BROKEN_PIPE;
}

AsyncStream::~AsyncStream() {
    if (attempt_event_ != 0) ::CloseHandle(reinterpret_cast<HANDLE>(attempt_event_));
    // An adopted handle is closed by its object.
    if (!adopted_ && handle_.valid()) close_socket(handle_);
}

// Takes what the pipe holds, if anything: with the bytes already there, the read completes at
// once.
Transfer AsyncStream::try_read(std::span<uint8_t> out) noexcept {
    DWORD available = 0;
    if (!::PeekNamedPipe(handle_of(handle_), nullptr, 0, nullptr, &available, nullptr)) {
        return failed(::GetLastError());
    }
    if (available == 0) return not_ready();
    OVERLAPPED overlapped{};
    if (auto refused = attempt_event(attempt_event_, overlapped.hEvent)) return *refused;
    const DWORD wanted = static_cast<DWORD>(std::min<size_t>(available, out.size()));
    if (!::ReadFile(handle_of(handle_), out.data(), wanted, nullptr, &overlapped)) {
        DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) return failed(error);
    }
    // Done at once, or about to be: the bytes are there.
    DWORD got = 0;
    if (!::GetOverlappedResult(handle_of(handle_), &overlapped, &got, TRUE)) {
        return failed(::GetLastError());
    }
    return moved(got);
}

// Never attempted: a write that the pipe cannot take at once stays queued in it, its bytes
// already the reader's, and could be neither taken back nor waited for here without blocking
// past a stop. So every write goes through the loop, which owns the transfer until it is over.
Transfer AsyncStream::try_write(std::span<const uint8_t>) noexcept {
    return not_ready();
}

asio::awaitable<Transfer> AsyncStream::read_some(asio::io_context& io, std::span<uint8_t> out) {
    if (auto refused = adopt_once(adopted_, io, handle_)) co_return *refused;
    asio::error_code ec;
    size_t bytes = co_await adopted_->async_read_some(
        asio::buffer(out.data(), out.size()), asio::redirect_error(asio::use_awaitable, ec));
    co_return from_completion(ec, bytes);
}

asio::awaitable<Transfer> AsyncStream::write_some(asio::io_context& io,
                                                  std::span<const uint8_t> bytes) {
    if (auto refused = adopt_once(adopted_, io, handle_)) co_return *refused;
    asio::error_code ec;
    size_t moved_bytes = co_await adopted_->async_write_some(
        asio::buffer(bytes.data(), bytes.size()), asio::redirect_error(asio::use_awaitable, ec));
    co_return from_completion(ec, moved_bytes);
}

// A pipe cannot be half closed: the handle is closed, which the server sees as the end, and a
// transfer waiting on it is cancelled first (CancelIoEx, from any thread) so that it completes.
void AsyncStream::shut_down() noexcept {
    asio::error_code ignored;
    if (adopted_) {
        adopted_->cancel(ignored);
        adopted_->close(ignored);
    } else if (handle_.valid()) {
        close_socket(handle_);
    }
    handle_ = StreamHandle();
}

}  // namespace zelto::platform
