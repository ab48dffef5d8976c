// The in-use flag of every Python object of the module: shared use (several calls at once) or
// exclusive use (one call). A call that finds the object taken by another thread waits for it,
// without the interpreter lock, so the holder can go on; the holder gives the lock up whenever
// it runs Python code (an argument's __index__, say), or for the whole call with release_gil.
// Exclusive users are served in the order they came: the thread that just gave the object back
// queues behind those already waiting instead of taking it again at once. The wait counts
// against the call's deadline, if it has one.
// A conflict on one thread is re-entry (an argument's conversion calling back into the same
// object): it cannot be waited out and raises "Already borrowed" / "Already mutably borrowed".
#pragma once

#include <Python.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "binding/exceptions.hpp"
#include "binding/interpreter_exit.hpp"
#include "platform/call_wait.hpp"

namespace zelto::binding {

struct InUseFlag {
    std::mutex mutex;
    std::condition_variable released;
    int64_t state = 0;                       // number of shared users, or -1 while exclusive
    std::thread::id exclusive_holder;        // meaningful while state is -1
    std::vector<std::thread::id> shared_by;  // one entry per shared use
    std::deque<uint64_t> waiting;            // the tickets of waiting exclusive users, in order
    uint64_t next_ticket = 0;
};

// Takes the flag for the lifetime of the guard; check ok() right after construction. Not ok
// means an exception is set: re-entry on this thread, a signal handler raised while waiting, or
// the deadline passed while waiting (TimeoutError "Request timed out").
class Use {
public:
    enum class Mode { Shared, Exclusive };
    using Clock = platform::CallWait::Clock;

    Use(InUseFlag& flag, Mode mode, std::optional<Clock::time_point> deadline = std::nullopt)
        : mode_(mode) {
        const auto me = std::this_thread::get_id();
        std::unique_lock lock(flag.mutex);
        if (mode == Mode::Shared ? flag.state >= 0 : flag.state == 0 && flag.waiting.empty()) {
            take(flag, me);
            return;
        }
        if (reentered(flag, me)) {
            lock.unlock();
            PyErr_SetString(PyExc_RuntimeError,
                            mode == Mode::Shared ? "Already mutably borrowed" : "Already borrowed");
            return;
        }
        std::optional<uint64_t> ticket;
        if (mode == Mode::Exclusive) {
            ticket = flag.next_ticket++;
            flag.waiting.push_back(*ticket);
        }
        lock.unlock();
        wait_for_turn(flag, ticket, deadline);
    }
    ~Use() {
        if (flag_ == nullptr) return;
        {
            std::lock_guard lock(flag_->mutex);
            if (mode_ == Mode::Exclusive) {
                flag_->state = 0;
            } else {
                --flag_->state;
                auto& holders = flag_->shared_by;
                holders.erase(
                    std::find(holders.begin(), holders.end(), std::this_thread::get_id()));
            }
        }
        flag_->released.notify_all();
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    bool ok() const { return flag_ != nullptr; }

private:
    enum class Turn { Taken, NotYet, Expired };

    // Whether this thread is itself in the way (needs the flag's mutex).
    static bool reentered(const InUseFlag& flag, std::thread::id me) {
        if (flag.state < 0) return flag.exclusive_holder == me;
        return std::find(flag.shared_by.begin(), flag.shared_by.end(), me) != flag.shared_by.end();
    }

    // Takes the flag for this guard (needs its mutex); an exclusive user leaves the queue, whose
    // head it was.
    void take(InUseFlag& flag, std::thread::id me) {
        if (mode_ == Mode::Shared) {
            flag.shared_by.push_back(me);
            ++flag.state;
        } else {
            if (!flag.waiting.empty() && flag.waiting.front() == ticket_) flag.waiting.pop_front();
            flag.state = -1;
            flag.exclusive_holder = me;
        }
        flag_ = &flag;
    }

    // Gives up a place in the queue (needs the flag's mutex).
    static void leave(InUseFlag& flag, const std::optional<uint64_t>& ticket) {
        if (!ticket) return;
        auto& waiting = flag.waiting;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), *ticket), waiting.end());
    }

    // Waits without the interpreter lock, a slice at a time, until the flag is free and this
    // thread's ticket is the oldest; between slices runs the signal handlers (on the main
    // thread). Leaves the queue when a handler raised or the deadline passed.
    void wait_for_turn(InUseFlag& flag, const std::optional<uint64_t>& ticket,
                       const std::optional<Clock::time_point>& deadline) {
        if (ticket) ticket_ = *ticket;
        const auto me = std::this_thread::get_id();
        for (;;) {
            PyThreadState* thread = PyEval_SaveThread();
            const Turn turn = undo_on_exception([&] { return wait_one_slice(flag, me, deadline); },
                                                [&] { retake_interpreter_lock(thread); });
            retake_interpreter_lock(thread);
            if (turn == Turn::Taken) return;
            if (turn == Turn::Expired) {
                raise_error(Error::stopped(platform::WaitStop::TimedOut));
                return;
            }
            if (PyErr_CheckSignals() != 0) {
                {
                    std::lock_guard lock(flag.mutex);
                    leave(flag, ticket);
                }
                flag.released.notify_all();  // the next in the queue may be first now
                return;
            }
        }
    }

    Turn wait_one_slice(InUseFlag& flag, std::thread::id me,
                        const std::optional<Clock::time_point>& deadline) {
        const bool exclusive = mode_ == Mode::Exclusive;
        auto until = Clock::now() + platform::kWaitSlice;
        if (deadline) until = std::min(until, *deadline);
        std::unique_lock lock(flag.mutex);
        const bool free = flag.released.wait_until(lock, until, [&] {
            return exclusive ? flag.state == 0 && flag.waiting.front() == ticket_ : flag.state >= 0;
        });
        if (free) {
            take(flag, me);
            return Turn::Taken;
        }
        if (!deadline || Clock::now() < *deadline) return Turn::NotYet;
        if (exclusive) leave(flag, ticket_);
        lock.unlock();
        flag.released.notify_all();
        return Turn::Expired;
    }

    InUseFlag* flag_ = nullptr;
    Mode mode_;
    uint64_t ticket_ = 0;  // an exclusive user's place in the queue, while it waits
};

}  // namespace zelto::binding
