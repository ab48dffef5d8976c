#include "binding/interpreter_exit.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "binding/py_ref.hpp"

namespace zelto::binding {
namespace {

// Set by the atexit hook: the interpreter is about to finalize.
std::atomic<bool> exiting{false};
// Threads between their look at `exiting` and holding the lock again.
std::atomic<int> retaking{0};
// True on the thread that runs the exit (and the finalization after it): it keeps the lock.
thread_local bool runs_the_exit = false;

// How long the hook lets threads already on their way take the lock and go on. They only wait
// for the lock, which the hook gives up meanwhile; the bound keeps a stuck one from holding up
// the exit (it is then ended by CPython, which its frames let through).
constexpr std::chrono::seconds kLetThroughAtMost{1};

[[noreturn]] void park() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

PyObject* on_exit(PyObject*, PyObject*) {
    runs_the_exit = true;
    exiting.store(true);
    if (retaking.load() != 0) {
        PyThreadState* state = PyEval_SaveThread();
        const auto until = std::chrono::steady_clock::now() + kLetThroughAtMost;
        while (retaking.load() != 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PyEval_RestoreThread(state);
    }
    Py_RETURN_NONE;
}

PyMethodDef kOnExit = {"_zelto_sdk_interpreter_exit", on_exit, METH_NOARGS, nullptr};

}  // namespace

bool watch_interpreter_exit() {
    PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    PyRef hook = PyRef::steal(PyCFunction_New(&kOnExit, nullptr));
    if (!hook) return false;
    PyRef registered = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    return static_cast<bool>(registered);
}

void retake_interpreter_lock(PyThreadState* state) {
    // The count goes up before the look at the flag and the hook sets the flag before it looks
    // at the count: either this thread sees the flag, or the hook sees this thread.
    retaking.fetch_add(1);
    if (exiting.load() && !runs_the_exit) {
        retaking.fetch_sub(1);
        park();
    }
    PyEval_RestoreThread(state);
    retaking.fetch_sub(1);
}

}  // namespace zelto::binding
