#include <climits>

#include "platform/windows/system.hpp"

namespace zelto::platform::windows {

std::optional<std::wstring> wide_text(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        SetLastError(ERROR_INVALID_NAME);
        return std::nullopt;
    }
    if (text.empty()) return std::wstring();
    if (text.size() > INT_MAX) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return std::nullopt;
    }
    const int length = static_cast<int>(text.size());
    const int needed =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0) return std::nullopt;
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, wide.data(),
                            needed) != needed)
        return std::nullopt;
    return wide;
}

std::string utf8_text(std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX) return std::string();
    const int length = static_cast<int>(text.size());
    const int needed =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return std::string();
    std::string narrow(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), needed, nullptr, nullptr);
    return narrow;
}

}  // namespace zelto::platform::windows
