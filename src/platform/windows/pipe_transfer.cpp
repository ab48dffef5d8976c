#include "platform/windows/pipe_transfer.hpp"

#include <algorithm>
#include <vector>

namespace zelto::platform::windows {
namespace {

constexpr size_t kMaxTransfer = size_t{1} << 30;

// Events for pipe transfers, kept per thread for reuse: making one is a system call, and a
// transfer needs one of its own, since several may be in progress at once on one thread (a
// transfer driven from an event loop, another from a blocking call) and a completion must wake
// only its own waiter. A transfer takes one from its thread's list, or makes one, and gives it
// back when it is over; the list's events are closed when the thread ends. (ReadFile and
// WriteFile reset the event as they start.)
class ThreadEvents {
public:
    ThreadEvents() = default;
    ~ThreadEvents() {
        for (HANDLE event : free_) CloseHandle(event);
    }
    ThreadEvents(const ThreadEvents&) = delete;
    ThreadEvents& operator=(const ThreadEvents&) = delete;

    HANDLE take() noexcept {
        if (free_.empty()) return CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE event = free_.back();
        free_.pop_back();
        return event;
    }
    void give_back(HANDLE event) noexcept {
        try {
            free_.push_back(event);
        } catch (...) {
            CloseHandle(event);
        }
    }

private:
    std::vector<HANDLE> free_;
};

ThreadEvents& thread_events() noexcept {
    thread_local ThreadEvents events;
    return events;
}

}  // namespace

PipeTransfer::PipeTransfer(HANDLE pipe) noexcept : pipe_(pipe), event_(thread_events().take()) {
    // The low bit set on the event keeps the transfer's completion off a completion port.
    overlapped_.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event_) | 1);
}

PipeTransfer::~PipeTransfer() {
    if (pending_) cancel();
    // The transfer is over (or never started): the event is free for the thread's next one.
    if (event_ != nullptr) thread_events().give_back(event_);
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
    // once the system is done with it. Until then the system may still write into the
    // OVERLAPPED and the buffer, so there is no returning earlier: a pipe completes a
    // cancelled transfer at once, and the event is this transfer's alone, so no other
    // transfer's completion can be taken for it or take its wake-up.
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
