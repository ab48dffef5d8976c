// What a long-running server process sets up with the operating system: how it learns that it
// must stop, and how its heap treats the buffers of its requests.
#pragma once

namespace zelto::platform {

// Makes the process receive stop requests: SIGINT and SIGTERM on POSIX systems; Ctrl-C,
// Ctrl-Break, the closing of its console (or of the session) and, when its standard input is a
// pipe, the end of that input on Windows. Call it before
// starting any thread. On POSIX systems the signals are blocked in the caller, and so in every
// thread started afterwards, so that only wait_for_stop_request() receives them; SIGPIPE is
// ignored, since a client may vanish while it is being written to.
void catch_stop_requests();

// Blocks until a stop request arrives. When the console closes, Windows ends the process soon
// after: the caller has those few seconds to stop its services and return from main.
void wait_for_stop_request();

// Keeps freed request buffers in the heap for the next request instead of returning them to the
// system at once, so that a fresh server does not fault every large buffer's pages in again on
// each request. A no-op where the heap offers no such setting.
void keep_freed_buffers_in_heap();

}  // namespace zelto::platform
