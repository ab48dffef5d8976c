// Routes the engines' log records into Python's logging module.
#pragma once

#include "shm/region.hpp"
#include "transport/debug_notes.hpp"

namespace zelto::binding {

// A log sink that emits an information-level record on logging.getLogger(target), only when
// that logger is enabled for it. The module installs no handler, so by default nothing is
// written. Must be called with the interpreter lock held.
shm::LogFn python_info_log();

// The engine's debug notes of one call (transport/debug_notes.hpp), handed to the logger
// "zelto_sdk" at DEBUG level when the call is over. Made, used and destroyed with the
// interpreter lock held; a pending exception is kept.
class DebugNotesOfCall {
public:
    DebugNotesOfCall() : on_this_thread_(notes_) {}
    // The call also notes what happens at every call (a connection pooled), if that logger
    // would take the records.
    void take_every_call();
    ~DebugNotesOfCall();
    DebugNotesOfCall(const DebugNotesOfCall&) = delete;
    DebugNotesOfCall& operator=(const DebugNotesOfCall&) = delete;

private:
    debug_notes::Notes notes_;
    debug_notes::ThreadNotes on_this_thread_;
};

}  // namespace zelto::binding
