// On POSIX systems every stream endpoint is a file descriptor.
#pragma once

#include "platform/stream_handle.hpp"

namespace zelto::platform {

inline int fd_of(StreamHandle stream) noexcept {
    return static_cast<int>(stream.value);
}

}  // namespace zelto::platform
