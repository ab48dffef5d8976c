// Which process an object was made in. A child made by fork() inherits the parent's memory,
// descriptors and mappings, but not its threads: an object that holds a connection shared with
// the parent, or a runtime whose workers exist only there, must not be used in the child as if it
// were its own.
#pragma once

#include <cstdint>

namespace zelto::platform {

// A number that changes in a child process at every fork() and nowhere else. Reading it costs a
// load, unlike getpid(), which is a system call.
uint64_t fork_generation() noexcept;

// Remembers the process an object was made in.
class ProcessStamp {
public:
    ProcessStamp() noexcept : generation_(fork_generation()) {}
    // True in a child process forked after the stamp was made.
    bool in_other_process() const noexcept { return generation_ != fork_generation(); }

private:
    uint64_t generation_;
};

}  // namespace zelto::platform
