// Calls that are still waiting when the interpreter exits. A thread whose call released the
// interpreter lock must take it back to run a signal handler, to build its result or to return.
// Once the interpreter finalizes, CPython (3.11 to 3.13) ends any thread that asks for the lock:
// on Linux through pthread_exit, whose forced unwind aborts the process ("terminate called
// without an active exception") when it meets a noexcept frame or a catch (...) that does not
// rethrow it; on Windows it ends the thread where it stands, in the middle of our frames.
//
// So the module registers an atexit hook, which runs before finalization begins. From then on
// a thread that would take the lock back parks for good instead, without touching Python: the
// process exits around it with the status it asked for. A thread already on its way to the lock
// when the hook runs is let through first (the hook waits for it without the lock). Should one
// still be ended, every frame between the lock and the module boundary lets the forced unwind
// pass: no destructor or noexcept function takes the lock, and every catch (...) rethrows it.
#pragma once

#include <Python.h>

#include <exception>
#include <utility>

#if defined(__GLIBCXX__) && !defined(_WIN32)
#include <cxxabi.h>
#define ZELTO_FORCED_UNWIND 1  // pthread_exit unwinds with abi::__forced_unwind
#elif defined(_LIBCPP_VERSION) && !defined(_WIN32)
// libc++abi takes the forced unwind in a catch (...) as a foreign exception, and rethrowing it
// starts an unwind of its own that finds no handler and terminates. So no catch (...) lies on its
// way: those frames catch std::exception only (the library throws nothing else).
#define ZELTO_NO_CATCH_ALL 1
#endif

namespace zelto::binding {

// Registers the hook with Python's atexit; once per process, at the module's initialisation.
// False with an exception set when it could not be registered.
bool watch_interpreter_exit();

// PyEval_RestoreThread(state) for a thread whose call released the lock, or parks the thread
// for good once the interpreter is exiting (never on the thread that runs the exit). Call it
// only from code that a forced unwind may pass through.
void retake_interpreter_lock(PyThreadState* state);

// Runs `f`; when a C++ exception leaves it, runs `undo` first and lets the exception go on. The
// forced unwind that ends a thread passes untouched: the thread is gone, nothing is undone.
template <class F, class Undo>
auto undo_on_exception(F&& f, Undo&& undo) {
    try {
        return std::forward<F>(f)();
#if ZELTO_FORCED_UNWIND
    } catch (abi::__forced_unwind&) {
        throw;
#endif
#if ZELTO_NO_CATCH_ALL
    } catch (const std::exception&) {
#else
    } catch (...) {
#endif
        undo();
        throw;
    }
}

}  // namespace zelto::binding
