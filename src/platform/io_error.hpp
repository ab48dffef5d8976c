// The error value of the platform's I/O calls: a category and a text. The layers above pass it
// on or build their own errors from it; nothing here throws.
#pragma once

#include <string>

#include "platform/call_wait.hpp"

namespace zelto {

// What a call whose deadline passed reports (also the shared-memory client's time-out).
inline constexpr const char* kRequestTimedOut = "Request timed out";

// Classification of an operating-system error, used to pick the Python OSError subclass.
enum class IoCategory {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    TimedOut,
    Interrupted,
    Other,
};

// An I/O failure: either a system error (text "strerror (os error N)") or one made by the
// library itself ("failed to fill whole buffer", "invalid socket address", ...).
struct IoError {
    IoCategory category = IoCategory::Other;
    std::string message;
    int os_errno = 0;  // 0 when the library made the error itself

    // A wait of the call that ended without its bytes: a signal handler raised (its exception
    // is pending in the interpreter), or the call's deadline passed.
    static IoError stopped(platform::WaitStop why) {
        return why == platform::WaitStop::Interrupted
                   ? IoError{IoCategory::Interrupted, "interrupted by a signal handler", 0}
                   : IoError{IoCategory::TimedOut, kRequestTimedOut, 0};
    }
    bool interrupted() const { return category == IoCategory::Interrupted && os_errno == 0; }
    bool timed_out() const { return category == IoCategory::TimedOut && os_errno == 0; }
};

}  // namespace zelto
