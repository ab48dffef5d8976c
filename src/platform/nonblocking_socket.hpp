// Attempts on a stream endpoint that never wait, for callers that drive their own waiting (the
// hybrid exchange tries each step on the calling thread before it parks). Failures carry the
// bare error number (errno, or the Windows error code), so a loop retrying a stream that is not
// ready builds no message text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/stream_handle.hpp"

namespace zelto::platform {

struct Attempt {
    size_t bytes = 0;  // bytes moved when `error` is 0; 0 bytes from a receive is end of stream
    int error = 0;     // 0, or the system's error number for the failure

    bool not_ready() const noexcept;      // the stream would have blocked
    bool reset_by_peer() const noexcept;  // the peer closed with bytes of ours unread
};

// One send that does not wait and raises no SIGPIPE; interrupted calls are resumed.
// Windows pipes: a write that finds the pipe full stays queued in it (its bytes are already the
// reader's, and cannot be taken back), so the attempt waits until the reader has taken them.
Attempt try_send(StreamHandle stream, std::span<const uint8_t> bytes) noexcept;

// One receive that does not wait; interrupted calls are resumed. Windows pipes: reads at most
// the bytes already in the pipe; a pipe whose writer has gone is the end of the stream.
Attempt try_receive(StreamHandle stream, std::span<uint8_t> out) noexcept;

// Looks, without waiting and without taking anything, whether bytes or the end of the stream
// wait to be received: `bytes` is 1 when bytes wait, 0 at the end of the stream, and the error
// is "not ready" when there is nothing.
Attempt try_peek(StreamHandle stream) noexcept;

// Ends the stream both ways without closing the descriptor: the peer sees the end, and a
// transfer waiting on the socket in any thread completes at once (with end of stream or an
// error). The descriptor stays valid until its owner closes it. Windows pipes: the server's end
// is disconnected; a client's end cannot be ended short of closing it, so only the transfers
// waiting on it now are cancelled.
void shut_down_stream(StreamHandle stream) noexcept;

}  // namespace zelto::platform
