#include "platform/fork.hpp"

namespace zelto::platform {

// Windows makes new processes from scratch, never as copies of this one: every object is always
// in the process it was made in.
uint64_t fork_generation() noexcept {
    return 0;
}

}  // namespace zelto::platform
