#include "transport/debug_notes.hpp"

namespace zelto::debug_notes {
namespace {

// A plain pointer: a thread-local with a destructor would run at thread exit, racing with the
// release of the thread's storage as the sanitizers see it, and the notes belong to the call.
thread_local Notes* current = nullptr;

}  // namespace

Notes* of_this_thread() noexcept {
    return current;
}

ThreadNotes::ThreadNotes(Notes& notes) noexcept : earlier_(current) {
    current = &notes;
}

ThreadNotes::~ThreadNotes() {
    current = earlier_;
}

}  // namespace zelto::debug_notes
