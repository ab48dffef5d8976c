// The Windows API for the platform layer's Windows side, included in the one order that works:
// Winsock's headers before windows.h, which would otherwise pull in the old winsock.h.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#include <optional>
#include <string>
#include <string_view>

namespace zelto::platform::windows {

// UTF-8 text as the UTF-16 the wide API takes; nullopt if it is not valid UTF-8 (the error is
// left in GetLastError) or carries a NUL, which would cut the name short.
std::optional<std::wstring> wide_text(std::string_view text);

// UTF-16 text from the system (messages, paths) as UTF-8; unpaired surrogates become U+FFFD.
std::string utf8_text(std::wstring_view text);

}  // namespace zelto::platform::windows
