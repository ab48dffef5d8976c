#include "platform/os_error.hpp"

#include "platform/common/socket_address.hpp"
#include "platform/windows/system.hpp"

namespace zelto::platform {
namespace {

// The system's message for `code` in the user's language, without the line break that ends it.
std::string system_message(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring_view text(buffer, buffer != nullptr ? length : 0);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.remove_suffix(1);
    std::string message = windows::utf8_text(text);
    if (buffer != nullptr) LocalFree(buffer);
    if (message.empty()) message = "Unknown error " + std::to_string(code);
    return message;
}

}  // namespace

IoCategory classify_errno(int err) {
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return IoCategory::NotFound;
        case ERROR_ACCESS_DENIED:
        case WSAEACCES:
            return IoCategory::PermissionDenied;
        case WSAECONNREFUSED:
            return IoCategory::ConnectionRefused;
        case WSAECONNRESET:
            return IoCategory::ConnectionReset;
        case WSAECONNABORTED:
            return IoCategory::ConnectionAborted;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
        case ERROR_PIPE_NOT_CONNECTED:
            return IoCategory::BrokenPipe;
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILE_EXISTS:
            return IoCategory::AlreadyExists;
        case ERROR_PIPE_BUSY:
        case WSAEWOULDBLOCK:
            return IoCategory::WouldBlock;
        case WSAETIMEDOUT:
        case ERROR_SEM_TIMEOUT:
            return IoCategory::TimedOut;
        case WSAEINTR:
            return IoCategory::Interrupted;
        default:
            return IoCategory::Other;
    }
}

IoError os_error(int err) {
    std::string message = system_message(static_cast<DWORD>(err));
    message += " (os error ";
    message += std::to_string(err);
    message += ")";
    return IoError{classify_errno(err), std::move(message), err};
}

std::string resolver_error_text(int code) {
    return system_message(static_cast<DWORD>(code));
}

IoError broken_pipe_error() {
    return os_error(ERROR_BROKEN_PIPE);
}

IoError lock_held_error() {
    return os_error(ERROR_LOCK_VIOLATION);
}

}  // namespace zelto::platform
