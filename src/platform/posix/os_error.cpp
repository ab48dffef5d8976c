#include "platform/os_error.hpp"

#include <cerrno>
#include <cstring>

namespace zelto::platform {

IoCategory classify_errno(int err) {
    switch (err) {
        case ENOENT:
            return IoCategory::NotFound;
        case EACCES:
        case EPERM:
            return IoCategory::PermissionDenied;
        case ECONNREFUSED:
            return IoCategory::ConnectionRefused;
        case ECONNRESET:
            return IoCategory::ConnectionReset;
        case ECONNABORTED:
            return IoCategory::ConnectionAborted;
        case EPIPE:
            return IoCategory::BrokenPipe;
        case EEXIST:
            return IoCategory::AlreadyExists;
        case EAGAIN:
            return IoCategory::WouldBlock;
        case ETIMEDOUT:
            return IoCategory::TimedOut;
        case EINTR:
            return IoCategory::Interrupted;
        default:
            return IoCategory::Other;
    }
}

IoError os_error(int err) {
    char buf[256];
    // GNU strerror_r returns a pointer that may or may not be `buf`.
    const char* text = strerror_r(err, buf, sizeof buf);
    std::string message = text;
    message += " (os error ";
    message += std::to_string(err);
    message += ")";
    return IoError{classify_errno(err), std::move(message), err};
}

IoError broken_pipe_error() {
    return os_error(EPIPE);
}

IoError lock_held_error() {
    return os_error(EAGAIN);
}

}  // namespace zelto::platform
