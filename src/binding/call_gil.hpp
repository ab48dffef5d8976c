// The interpreter lock around one call of an engine. A client made with release_gil=True lets
// other Python threads run while its call waits on the network or the region: the lock is
// released for the engine's part of the call and taken back briefly for the little that needs
// Python in between (running signal handlers). Arguments are converted and results built with
// the lock held, before and after.
#pragma once

#include <Python.h>

#include <chrono>
#include <optional>
#include <utility>

#include "binding/interpreter_exit.hpp"
#include "platform/call_wait.hpp"

namespace zelto::binding {

class CallGil {
public:
    // How often a call that released the lock takes it back to run the signal handlers. The
    // engines ask far more often (a shared-memory poll round lasts microseconds); each time
    // would cost a lock hand-over, and while another thread runs Python code, a wait of up to
    // the interpreter's switch interval. A socket wait asks after each slice of at most
    // kWaitSlice, which is never sooner than this, so handlers still run within kWaitSlice.
    static constexpr std::chrono::milliseconds kSignalCheckEvery{10};
    static_assert(kSignalCheckEvery <= platform::kWaitSlice);

    explicit CallGil(bool release) : release_(release) {}
    CallGil(const CallGil&) = delete;
    CallGil& operator=(const CallGil&) = delete;

    // Runs `engine_call`, without the interpreter lock if the client asked for that.
    template <class F>
    auto released(F&& engine_call) {
        if (!release_) return std::forward<F>(engine_call)();
        next_signal_check_ = platform::CallWait::Clock::now() + kSignalCheckEvery;
        state_ = PyEval_SaveThread();
        auto result = undo_on_exception(std::forward<F>(engine_call), [this] { take_back(); });
        take_back();
        return result;
    }

    // Runs `f` with the interpreter lock held: inside released(), takes it back meanwhile.
    template <class F>
    auto held(F&& f) {
        if (state_ == nullptr) return std::forward<F>(f)();
        take_back();
        auto result = undo_on_exception(std::forward<F>(f), [this] { give_up(); });
        give_up();
        return result;
    }

    // The call's wait policy: its waits run Python's signal handlers between slices (which act
    // only on the main thread) and end by `deadline`, if given. The policy refers to this
    // object, which must outlive the call; it is asked on the calling thread only.
    platform::CallWait wait(std::optional<platform::CallWait::Clock::time_point> deadline) {
        platform::CallWait policy;
        policy.interrupted = [this] { return signal_raised(); };
        policy.deadline = deadline;
        return policy;
    }

private:
    // The lock is taken back and given up by plain calls, never by a destructor: taking it back
    // may end the thread while the interpreter exits (interpreter_exit.hpp).
    void take_back() {
        PyThreadState* state = state_;
        state_ = nullptr;
        retake_interpreter_lock(state);
    }
    void give_up() { state_ = PyEval_SaveThread(); }

    // With the lock held the check costs next to nothing and runs every time; without it, at
    // most once per kSignalCheckEvery.
    bool signal_raised() {
        if (state_ == nullptr) return PyErr_CheckSignals() != 0;
        const auto now = platform::CallWait::Clock::now();
        if (now < next_signal_check_) return false;
        next_signal_check_ = now + kSignalCheckEvery;
        return held([] { return PyErr_CheckSignals() != 0; });
    }

    bool release_;
    PyThreadState* state_ = nullptr;  // the saved thread state while the lock is released
    platform::CallWait::Clock::time_point next_signal_check_{};
};

}  // namespace zelto::binding
