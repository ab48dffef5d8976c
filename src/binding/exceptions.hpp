// Turning the engines' error values into Python exceptions, and the boundary that keeps C++
// exceptions out of the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <string_view>

#include "binding/interpreter_exit.hpp"
#include "transport/errors.hpp"

namespace zelto::binding {

// Raises `type` with the message as its only argument. A message that carries the system's
// error number ("(os error N)", or "os error N" at its end) also sets the exception's `errno`.
void raise_message(PyObject* type, std::string_view message);

// The system's error number N that a message carries, if it does.
std::optional<int> os_error_number(std::string_view message);

// Raises the internal-failure exception: a BaseException subclass created once per process,
// so that `except Exception` does not swallow a broken invariant of the library.
void raise_internal_failure(std::string_view description);

// Raises the Python exception of an engine error, chosen by its kind (the table in
// exceptions.cpp), with its message. Interrupted and SinkFailed keep the exception that is
// already set (the signal handler's, the failed allocation's).
void raise_error(const Error& error);

// The OSError subclass that Python uses for an I/O error category.
PyObject* os_error_type(IoCategory category);

// If the pending exception is a TypeError, replaces it by a TypeError whose message is
// "argument 'NAME': " followed by the original message. Other exceptions pass unchanged.
void prefix_type_error(const char* parameter);

// Runs one call of the library at the boundary with the interpreter: every C++ exception is
// caught here (std::bad_alloc as MemoryError, anything else as the internal failure). The one
// exception is the forced unwind of a thread that CPython ends while the interpreter exits
// (interpreter_exit.hpp): it must go on to the thread's start, so this is not noexcept.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
#if ZELTO_FORCED_UNWIND
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_failure(e.what());
#if !ZELTO_NO_CATCH_ALL
    } catch (...) {
        raise_internal_failure("an unidentified C++ exception reached the module boundary");
#endif
    }
    return nullptr;
}

}  // namespace zelto::binding
