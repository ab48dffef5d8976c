// Operating-system error texts and categories. An error number is the system's own: an errno
// value on POSIX systems, a Windows system or Winsock error code on Windows.
#pragma once

#include "platform/io_error.hpp"

namespace zelto::platform {

// The system's text for error number `err` + " (os error N)", with its category: strerror on
// POSIX systems, FormatMessageW (without its closing line break) on Windows.
IoError os_error(int err);

// The category of a system error number.
IoCategory classify_errno(int err);

// The system's error for writing to a connection whose other end has gone (EPIPE on POSIX
// systems, ERROR_BROKEN_PIPE on Windows).
IoError broken_pipe_error();

// The system's error for a lock that another holder keeps (EAGAIN on POSIX systems,
// ERROR_LOCK_VIOLATION on Windows).
IoError lock_held_error();

// An error made by the library itself, with no error number.
inline IoError custom_error(IoCategory category, std::string message) {
    return IoError{category, std::move(message), 0};
}

}  // namespace zelto::platform
