// Transfers on the Windows side's streams: sockets and overlapped pipe handles.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "platform/call_wait.hpp"
#include "platform/stream_handle.hpp"
#include "platform/windows/system.hpp"

namespace zelto::platform::windows {

inline SOCKET socket_of(StreamHandle stream) noexcept {
    return static_cast<SOCKET>(stream.value);
}
inline HANDLE handle_of(StreamHandle stream) noexcept {
    return reinterpret_cast<HANDLE>(stream.value);
}

// The error number of an attempt that found its stream not ready, for sockets and pipes alike.
inline constexpr int kNotReady = WSAEWOULDBLOCK;

// Whether a pipe error means that the other end has gone: for a read, the end of the stream.
inline bool pipe_ended(DWORD error) noexcept {
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

// One overlapped read or write on a pipe handle. It completes through an event of its own,
// tagged so that no completion packet is queued: the handle may belong to a
// completion port (the hybrid client's runtime), which must not see transfers made here. A
// transfer still in progress when the object goes is cancelled and waited for, since the system
// writes into the OVERLAPPED and the buffer until it is over.
class PipeTransfer {
public:
    explicit PipeTransfer(HANDLE pipe) noexcept;
    ~PipeTransfer();
    PipeTransfer(const PipeTransfer&) = delete;
    PipeTransfer& operator=(const PipeTransfer&) = delete;

    // Starts a transfer of at most the first 1 GiB of the span.
    void read(std::span<uint8_t> into) noexcept;
    void write(std::span<const uint8_t> bytes) noexcept;

    // Waits for the transfer to finish. A wait that can stop is cut into slices; when it stops
    // the transfer is cancelled, and the stop is returned unless the transfer had finished
    // meanwhile. A stop is also returned when the wait must stop after the transfer finished,
    // as a readiness wait would: a peer that trickles bytes must not keep the signal handlers
    // from running.
    std::optional<WaitStop> finish(const CallWait& wait) noexcept;

    // Whether the transfer is still going on; costs no system call.
    bool in_progress() const noexcept {
        return pending_ && !HasOverlappedIoCompleted(&overlapped_);
    }
    DWORD bytes() const noexcept { return bytes_; }
    DWORD error() const noexcept { return error_; }  // 0 once it succeeded

private:
    void started(BOOL ok) noexcept;
    void collect() noexcept;  // takes the outcome of a transfer that has finished
    void cancel() noexcept;

    HANDLE pipe_;
    HANDLE event_;
    OVERLAPPED overlapped_{};
    bool pending_ = false;
    DWORD bytes_ = 0;
    DWORD error_ = 0;
};

}  // namespace zelto::platform::windows
