// A stream endpoint as the operating system knows it: a connected or listening TCP socket, or a
// local stream endpoint. On POSIX systems both are file descriptors; on Windows a TCP endpoint is
// a SOCKET and a local one a named pipe's HANDLE, which take different calls, so the handle also
// says which of the two it is. The value is only ever interpreted by the platform layer.
#pragma once

#include <compare>
#include <cstdint>

namespace zelto::platform {

struct StreamHandle {
    enum class Kind : uint8_t { Socket, Pipe };
    // -1 is no descriptor on POSIX, and INVALID_SOCKET / INVALID_HANDLE_VALUE on Windows.
    static constexpr intptr_t kInvalid = -1;

    constexpr StreamHandle() = default;
    constexpr explicit StreamHandle(intptr_t native, Kind kind = Kind::Socket)
        : value(native), kind(kind) {}

    constexpr bool valid() const noexcept { return value != kInvalid; }
    friend constexpr auto operator<=>(const StreamHandle&, const StreamHandle&) = default;

    intptr_t value = kInvalid;
    Kind kind = Kind::Socket;
};

}  // namespace zelto::platform
