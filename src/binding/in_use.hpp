// The in-use flag of every Python object of the module: shared use (several calls at once) or
// exclusive use (one call). A call that finds the object taken by another thread waits for it,
// without the interpreter lock, so the holder can go on; the holder gives the lock up whenever
// it runs Python code (an argument's __index__, say), which is how two threads meet here.
// A conflict on one thread is re-entry (an argument's conversion calling back into the same
// object): it cannot be waited out and raises "Already borrowed" / "Already mutably borrowed".
#pragma once

#include <Python.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/call_wait.hpp"

namespace zelto::binding {

struct InUseFlag {
    std::mutex mutex;
    std::condition_variable released;
    int64_t state = 0;                       // number of shared users, or -1 while exclusive
    std::thread::id exclusive_holder;        // meaningful while state is -1
    std::vector<std::thread::id> shared_by;  // one entry per shared use
};

// Takes the flag for the lifetime of the guard; check ok() right after construction. Not ok
// means an exception is set: re-entry on this thread, or a signal handler raised while waiting.
class Use {
public:
    enum class Mode { Shared, Exclusive };

    Use(InUseFlag& flag, Mode mode) : mode_(mode) {
        const auto me = std::this_thread::get_id();
        std::unique_lock lock(flag.mutex);
        for (;;) {
            if (mode == Mode::Shared ? flag.state >= 0 : flag.state == 0) break;
            if (reentered(flag, me)) {
                lock.unlock();
                PyErr_SetString(PyExc_RuntimeError, mode == Mode::Shared
                                                        ? "Already mutably borrowed"
                                                        : "Already borrowed");
                return;
            }
            lock.unlock();
            if (!wait_for_release(flag, mode)) return;
            lock.lock();
        }
        if (mode == Mode::Shared) {
            ++flag.state;
            flag.shared_by.push_back(me);
        } else {
            flag.state = -1;
            flag.exclusive_holder = me;
        }
        flag_ = &flag;
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
    // Whether this thread is itself in the way (needs the flag's mutex).
    static bool reentered(const InUseFlag& flag, std::thread::id me) {
        if (flag.state < 0) return flag.exclusive_holder == me;
        return std::find(flag.shared_by.begin(), flag.shared_by.end(), me) != flag.shared_by.end();
    }

    // Waits up to one slice for the flag to come free, without the interpreter lock, then runs
    // the signal handlers (on the main thread). False when a handler raised.
    static bool wait_for_release(InUseFlag& flag, Mode mode) {
        PyThreadState* thread = PyEval_SaveThread();
        {
            std::unique_lock lock(flag.mutex);
            flag.released.wait_for(lock, platform::kWaitSlice, [&] {
                return mode == Mode::Shared ? flag.state >= 0 : flag.state == 0;
            });
        }
        PyEval_RestoreThread(thread);
        return PyErr_CheckSignals() == 0;
    }

    InUseFlag* flag_ = nullptr;
    Mode mode_;
};

}  // namespace zelto::binding
