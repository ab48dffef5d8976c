#include "platform/async_stream.hpp"

#include <cerrno>

#include <asio/error.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/nonblocking_socket.hpp"
#include "platform/socket.hpp"

namespace zelto::platform {
namespace {

enum class Direction { Read, Write };

Transfer moved(size_t bytes) {
    return Transfer{Transfer::Outcome::Moved, bytes, 0};
}

// A server that closes its end with a request still unread shows as a reset.
Transfer failed(int error) {
    if (error == ECONNRESET) return Transfer{Transfer::Outcome::Ended, 0, 0};
    return Transfer{Transfer::Outcome::Failed, 0, error};
}

Transfer from_attempt(const Attempt& attempt, Direction direction) {
    if (attempt.not_ready()) return Transfer{Transfer::Outcome::NotReady, 0, 0};
    if (attempt.reset_by_peer()) return Transfer{Transfer::Outcome::Ended, 0, 0};
    if (attempt.error != 0) return failed(attempt.error);
    if (direction == Direction::Read && attempt.bytes == 0) {
        return Transfer{Transfer::Outcome::Ended, 0, 0};
    }
    return moved(attempt.bytes);
}

// Asio reports a stream socket's failures with their errno in the system category; the only
// other code a transfer can end with is the end of the stream.
Transfer from_completion(const asio::error_code& ec, size_t bytes) {
    if (!ec) return moved(bytes);
    if (ec == asio::error::eof) return Transfer{Transfer::Outcome::Ended, 0, 0};
    return failed(ec.value());
}

// The stream, registered with a loop for one transfer and taken back (deregistered, still open)
// however the transfer ends, also when the coroutine waiting for it is destroyed.
class Lent {
public:
    explicit Lent(AsyncStreamObject object) : object_(std::move(object)) {}
    ~Lent() {
        asio::error_code ignored;
        if (object_.is_open()) object_.release(ignored);
    }
    Lent(const Lent&) = delete;
    Lent& operator=(const Lent&) = delete;

    AsyncStreamObject& object() { return object_; }

private:
    AsyncStreamObject object_;
};

template <typename Buffer, typename Start>
asio::awaitable<Transfer> through_loop(asio::io_context& io, StreamHandle stream, Buffer buffer,
                                       Start start) {
    auto adopted = adopt(io, stream);
    if (!adopted) co_return failed(adopted.error());
    Lent lent(std::move(*adopted));
    asio::error_code ec;
    // Asio first tries the transfer itself and queues it in the same step, so readiness that
    // arrives in between is not missed.
    size_t bytes =
        co_await start(lent.object(), buffer, asio::redirect_error(asio::use_awaitable, ec));
    co_return from_completion(ec, bytes);
}

}  // namespace

std::expected<AsyncStreamObject, int> adopt(asio::io_context& io, StreamHandle stream) {
    AsyncStreamObject object(io);
    asio::error_code ec;
    object.assign(asio::local::stream_protocol(), static_cast<int>(stream.value), ec);
    if (ec) return std::unexpected(ec.value());
    return object;
}

AsyncStream::~AsyncStream() {
    if (handle_.valid()) close_socket(handle_);
}

Transfer AsyncStream::try_read(std::span<uint8_t> out) noexcept {
    return from_attempt(try_receive(handle_, out), Direction::Read);
}

Transfer AsyncStream::try_write(std::span<const uint8_t> bytes) noexcept {
    return from_attempt(try_send(handle_, bytes), Direction::Write);
}

asio::awaitable<Transfer> AsyncStream::read_some(asio::io_context& io, std::span<uint8_t> out) {
    return through_loop(io, handle_, asio::buffer(out.data(), out.size()),
                        [](auto& object, auto buffer, auto token) {
                            return object.async_read_some(buffer, token);
                        });
}

asio::awaitable<Transfer> AsyncStream::write_some(asio::io_context& io,
                                                  std::span<const uint8_t> bytes) {
    return through_loop(io, handle_, asio::buffer(bytes.data(), bytes.size()),
                        [](auto& object, auto buffer, auto token) {
                            return object.async_write_some(buffer, token);
                        });
}

void AsyncStream::shut_down() noexcept {
    shut_down_stream(handle_);
}

}  // namespace zelto::platform
