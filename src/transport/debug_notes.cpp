#include "transport/debug_notes.hpp"

namespace zelto::debug_notes {

Notes& of_this_thread() {
    thread_local Notes notes;
    return notes;
}

}  // namespace zelto::debug_notes
