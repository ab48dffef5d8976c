#include "platform/windows/pipe_transfer.hpp"

#include <algorithm>

namespace zelto::platform::windows {
namespace {

constexpr size_t kMaxTransfer = size_t{1} << 30;

}  // namespace

// Each transfer has an event of its own: transfers in progress at once, on one thread or
// several, never take each other's completion.
PipeTransfer::PipeTransfer(HANDLE pipe) noexcept
    : pipe_(pipe), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    // The low bit set on the event keeps the transfer's completion off a completion port.
    overlapped_.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event_) | 1);
}

PipeTransfer::~PipeTransfer() {
    if (pending_) cancel();
    if (event_ != nullptr) CloseHandle(event_);
}

void PipeTransfer::read(std::span<uint8_t> into) noexcept {
    if (event_ == nullptr) {
        error_ = GetLastError();
        return;
    }
    const auto size = static_cast<DWORD>(std::min(into.size(), kMaxTransfer));
    started(ReadFile(pipe_, into.data(), size, nullptr, &overlapped_));
}

void PipeTransfer::write(std::span<const uint8_t> bytes) noexcept {
    if (event_ == nullptr) {
        error_ = GetLastError();
        return;
    }
    const auto size = static_cast<DWORD>(std::min(bytes.size(), kMaxTransfer));
    started(WriteFile(pipe_, bytes.data(), size, nullptr, &overlapped_));
}

void PipeTransfer::started(BOOL ok) noexcept {
    if (ok) {
        collect();
        return;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        pending_ = true;
    } else {
        error_ = error;
    }
}

void PipeTransfer::collect() noexcept {
    pending_ = false;
    DWORD moved = 0;
    if (GetOverlappedResult(pipe_, &overlapped_, &moved, FALSE)) {
        error_ = 0;
    } else {
        error_ = GetLastError();
    }
    bytes_ = moved;
}

void PipeTransfer::cancel() noexcept {
    // The transfer may finish before the cancellation reaches it; either way the event is set
    // once the system is done with it.
    CancelIoEx(pipe_, &overlapped_);
    WaitForSingleObject(event_, INFINITE);
    collect();
}

std::optional<WaitStop> PipeTransfer::finish(const CallWait& wait) noexcept {
    if (!pending_) return std::nullopt;
    const auto stop = wait_in_slices(wait, [&](WaitSlice& slice) {
        const auto length = slice.length();
        const DWORD woke =
            WaitForSingleObject(event_, length ? static_cast<DWORD>(length->count()) : INFINITE);
        if (woke == WAIT_FAILED) {
            const DWORD error = GetLastError();
            cancel();
            // A transfer that completed all the same keeps its own result.
            if (error_ != 0) error_ = error;
            return SliceResult::Done;
        }
        if (woke == WAIT_OBJECT_0) collect();
        return pending_ ? SliceResult::NotYet : SliceResult::Ready;
    });
    if (stop == WaitStop::TimedOut) {
        cancel();
        // Completed before the cancellation reached it: the transfer's result stands.
        if (error_ == 0) return std::nullopt;
    } else if (stop == WaitStop::Interrupted && pending_) {
        cancel();
    }
    return stop;
}

}  // namespace zelto::platform::windows
