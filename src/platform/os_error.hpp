// Operating-system error texts and categories.
#pragma once

#include "platform/io_error.hpp"

namespace zelto::platform {

// "strerror text (os error N)" with the category of errno value `err`.
IoError os_error(int err);

// The category of a system error number.
IoCategory classify_errno(int err);

// An error made by the library itself, with no error number.
inline IoError custom_error(IoCategory category, std::string message) {
    return IoError{category, std::move(message), 0};
}

}  // namespace zelto::platform
