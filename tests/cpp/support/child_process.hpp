// Child processes for tests that need more than one: this test program started again, told its
// role through an environment variable that it reads before GoogleTest starts. POSIX systems
// start it with posix_spawn (never fork: the suite also runs under ThreadSanitizer, which does
// not support fork after threads), Windows with CreateProcessW.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zelto::test_processes {

// A started child: its process id on POSIX systems, its process HANDLE on Windows.
using Child = intptr_t;

// Starts this program with `variable`=`value` in its environment; nothing if it cannot start.
std::optional<Child> spawn_self(const std::string& variable, const std::string& value);

struct ChildStatus {
    bool finished = false;  // false: still running at the limit, then killed
    bool killed = false;    // ended by die_abruptly() or killed from outside
    int exit_code = -1;     // when it exited by itself
    bool exited_cleanly() const { return finished && !killed && exit_code == 0; }
};

// Waits for every child until `limit` has passed; children still running then are killed and
// reported as unfinished, so that a hang fails the test instead of stalling the suite. Every
// child is gone afterwards.
std::vector<ChildStatus> wait_all(const std::vector<Child>& children,
                                  std::chrono::steady_clock::duration limit);

// Ends the calling process at once, as if it were killed: nothing of it runs any more.
[[noreturn]] void die_abruptly();

}  // namespace zelto::test_processes
