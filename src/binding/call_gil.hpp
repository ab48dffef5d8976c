// The interpreter lock around one call of an engine. A client made with release_gil=True lets
// other Python threads run while its call waits on the network or the region: the lock is
// released for the engine's part of the call and taken back briefly for the little that needs
// Python in between (running signal handlers, creating the result object). Arguments are
// converted and results built with the lock held, before and after.
#pragma once

#include <Python.h>

#include <chrono>
#include <optional>
#include <utility>

#include "platform/call_wait.hpp"

namespace zelto::binding {

class CallGil {
public:
    explicit CallGil(bool release) : release_(release) {}
    CallGil(const CallGil&) = delete;
    CallGil& operator=(const CallGil&) = delete;

    // Runs `engine_call`, without the interpreter lock if the client asked for that.
    template <class F>
    decltype(auto) released(F&& engine_call) {
        if (!release_) return std::forward<F>(engine_call)();
        state_ = PyEval_SaveThread();
        Restore restore{*this};
        return std::forward<F>(engine_call)();
    }

    // Runs `f` with the interpreter lock held: inside released(), takes it back meanwhile.
    template <class F>
    decltype(auto) held(F&& f) {
        if (state_ == nullptr) return std::forward<F>(f)();
        PyEval_RestoreThread(state_);
        state_ = nullptr;
        Save save{*this};
        return std::forward<F>(f)();
    }

    // The call's wait policy: its waits run Python's signal handlers between slices (which act
    // only on the main thread), and `timeout`, if given, bounds the whole call. The policy refers
    // to this object, which must outlive the call.
    platform::CallWait wait(std::optional<std::chrono::nanoseconds> timeout = std::nullopt) {
        platform::CallWait policy;
        policy.interrupted = [this] { return held([] { return PyErr_CheckSignals() != 0; }); };
        if (timeout) {
            policy.deadline =
                platform::CallWait::Clock::now() +
                std::chrono::duration_cast<platform::CallWait::Clock::duration>(*timeout);
        }
        return policy;
    }

private:
    struct Restore {
        CallGil& gil;
        ~Restore() {
            PyEval_RestoreThread(gil.state_);
            gil.state_ = nullptr;
        }
    };
    struct Save {
        CallGil& gil;
        ~Save() { gil.state_ = PyEval_SaveThread(); }
    };

    bool release_;
    PyThreadState* state_ = nullptr;  // the saved thread state while the lock is released
};

}  // namespace zelto::binding
