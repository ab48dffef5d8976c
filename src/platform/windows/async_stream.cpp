#include "platform/async_stream.hpp"

#include <windows.h>

#include <asio/error.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/nonblocking_socket.hpp"
#include "platform/socket.hpp"
#include "platform/windows/pipe_transfer.hpp"

namespace zelto::platform {
namespace {

using windows::handle_of;

Transfer moved(size_t bytes) {
    return Transfer{Transfer::Outcome::Moved, bytes, 0};
}

Transfer not_ready() {
    return Transfer{Transfer::Outcome::NotReady, 0, 0};
}

Transfer ended() {
    return Transfer{Transfer::Outcome::Ended, 0, 0};
}

enum class Direction { Read, Write };

// A pipe whose server closed its end reads as broken or disconnected, not as ended; a write to
// it fails with the system's text, as EPIPE does on POSIX systems.
Transfer failed(DWORD error, Direction direction) {
    if (direction == Direction::Read && (windows::pipe_ended(error) || error == ERROR_HANDLE_EOF)) {
        return ended();
    }
    return Transfer{Transfer::Outcome::Failed, 0, static_cast<int>(error)};
}

// Asio reports a handle's failures with their Windows code in the system category; the only
// other code a transfer can end with is the end of the stream.
Transfer from_completion(const asio::error_code& ec, size_t bytes, Direction direction) {
    if (!ec) return moved(bytes);
    if (ec == asio::error::eof) return ended();
    return failed(static_cast<DWORD>(ec.value()), direction);
}

// Makes the stream's object in `io` on its first transfer: a handle is associated with one
// completion port for good. Nothing, or the failure.
std::optional<Transfer> adopt_once(std::optional<AsyncStreamObject>& adopted, asio::io_context& io,
                                   StreamHandle stream) {
    if (adopted) return std::nullopt;
    auto object = adopt(io, stream);
    if (!object) return failed(static_cast<DWORD>(object.error()), Direction::Write);
    adopted.emplace(std::move(*object));
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

AsyncStream::~AsyncStream() {
    // An adopted handle is closed by its object.
    if (!adopted_ && handle_.valid()) close_socket(handle_);
}

// Takes what the pipe already holds, if anything.
Transfer AsyncStream::try_read(std::span<uint8_t> out) noexcept {
    const Attempt attempt = try_receive(handle_, out);
    if (attempt.not_ready()) return not_ready();
    if (attempt.error != 0) return failed(static_cast<DWORD>(attempt.error), Direction::Read);
    if (attempt.bytes == 0) return ended();
    return moved(attempt.bytes);
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
    co_return from_completion(ec, bytes, Direction::Read);
}

asio::awaitable<Transfer> AsyncStream::write_some(asio::io_context& io,
                                                  std::span<const uint8_t> bytes) {
    if (auto refused = adopt_once(adopted_, io, handle_)) co_return *refused;
    asio::error_code ec;
    size_t moved_bytes = co_await adopted_->async_write_some(
        asio::buffer(bytes.data(), bytes.size()), asio::redirect_error(asio::use_awaitable, ec));
    co_return from_completion(ec, moved_bytes, Direction::Write);
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
