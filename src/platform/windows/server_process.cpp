#include "platform/server_process.hpp"

#include <windows.h>

namespace zelto::platform {

namespace {

// Signalled by the console's control handler. A handler runs on a thread the system starts for
// it, so the request reaches the waiting thread through an event, made once per process.
HANDLE stop_requested() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI on_console_event(DWORD event) {
    SetEvent(stop_requested());
    switch (event) {
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            // The process ends as soon as this handler returns: hold on, so that the main
            // thread can stop the services first. Its return from main ends the process.
            Sleep(INFINITE);
            return TRUE;
        default:
            return TRUE;
    }
}

// Reads standard input to its end, then requests the stop.
DWORD WINAPI watch_input(void* input) {
    char discarded[256];
    DWORD got = 0;
    while (ReadFile(static_cast<HANDLE>(input), discarded, sizeof discarded, &got, nullptr) &&
           got > 0) {
    }
    SetEvent(stop_requested());
    return 0;
}

}  // namespace

void catch_stop_requests() {
    (void)stop_requested();
    SetConsoleCtrlHandler(on_console_event, TRUE);
    // Windows has no signal that another program can send to ask a process to stop, so a
    // parent that starts the server with a pipe as its standard input asks by closing the pipe.
    // Only a pipe: a console or the null device would end (or never end) for other reasons.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE)
        return;
    HANDLE watcher = CreateThread(nullptr, 0, watch_input, input, 0, nullptr);
    if (watcher != nullptr) CloseHandle(watcher);
}

void wait_for_stop_request() {
    HANDLE event = stop_requested();
    if (event == nullptr) {
        Sleep(INFINITE);  // no event to wait on: only the end of the process stops the server
        return;
    }
    WaitForSingleObject(event, INFINITE);
}

// The heap of Windows has no thresholds to set.
void keep_freed_buffers_in_heap() {}

}  // namespace zelto::platform
