#include "binding/exceptions.hpp"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <system_error>

#include "binding/py_ref.hpp"

namespace zelto::binding {
namespace {

// Created on first need and kept for the life of the process (the module refuses
// sub-interpreters, so one interpreter owns it).
PyObject* internal_failure_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewException("zelto_sdk.InternalFailure", PyExc_BaseException, nullptr);
    }
    return type;
}

// The Python exception an engine error becomes. The exception objects themselves are variables
// of the interpreter, not constants, so the table names them.
enum class Raised : uint8_t {
    ConnectionError,
    OsErrorOfCategory,  // the OSError subclass of the error's io_category
    ValueError,
    RuntimeError,
    TimeoutError,
    AlreadySet,  // the exception that ended the call is pending already
};

struct Mapping {
    ErrorKind kind;
    Raised raised;
};

// Every kind of engine error and the exception it raises, in the order of ErrorKind.
constexpr Mapping kExceptionOfKind[] = {
    {ErrorKind::Io, Raised::ConnectionError},
    {ErrorKind::StreamSend, Raised::OsErrorOfCategory},
    {ErrorKind::StreamRead, Raised::RuntimeError},
    {ErrorKind::Config, Raised::ValueError},
    {ErrorKind::InvalidInput, Raised::ValueError},
    {ErrorKind::Codec, Raised::RuntimeError},
    {ErrorKind::Server, Raised::RuntimeError},
    {ErrorKind::SharedMemory, Raised::ConnectionError},
    {ErrorKind::QueueBlocked, Raised::RuntimeError},
    {ErrorKind::PoolExhausted, Raised::RuntimeError},
    {ErrorKind::Exchange, Raised::RuntimeError},
    {ErrorKind::Runtime, Raised::RuntimeError},
    {ErrorKind::Usage, Raised::RuntimeError},
    {ErrorKind::Interrupted, Raised::AlreadySet},
    {ErrorKind::TimedOut, Raised::TimeoutError},
    {ErrorKind::SinkFailed, Raised::AlreadySet},
};

constexpr bool covers_every_kind_in_order() {
    if (std::size(kExceptionOfKind) != kErrorKindCount) return false;
    for (size_t i = 0; i < kErrorKindCount; ++i) {
        if (static_cast<size_t>(kExceptionOfKind[i].kind) != i) return false;
    }
    return true;
}
static_assert(covers_every_kind_in_order(), "kExceptionOfKind must list every ErrorKind in order");

PyObject* exception_type(Raised raised, IoCategory category) {
    switch (raised) {
        case Raised::ConnectionError:
            return PyExc_ConnectionError;
        case Raised::OsErrorOfCategory:
            return os_error_type(category);
        case Raised::ValueError:
            return PyExc_ValueError;
        case Raised::RuntimeError:
            return PyExc_RuntimeError;
        case Raised::TimeoutError:
            return PyExc_TimeoutError;
        case Raised::AlreadySet:
            return nullptr;
    }
    return PyExc_RuntimeError;
}

}  // namespace

std::optional<int> os_error_number(std::string_view message) {
    // "... (os error N)", or "..., os error N" at the very end.
    constexpr std::string_view kMark = "os error ";
    const size_t at = message.rfind(kMark);
    if (at == std::string_view::npos) return std::nullopt;
    const bool in_parentheses = at > 0 && message[at - 1] == '(';
    const char* first = message.data() + at + kMark.size();
    const char* last = message.data() + message.size();
    int number = 0;
    auto [end, ec] = std::from_chars(first, last, number);
    if (ec != std::errc() || end == first) return std::nullopt;
    if (in_parentheses ? (end == last || *end != ')') : end != last) return std::nullopt;
    return number;
}

void raise_message(PyObject* type, std::string_view message) {
    // Texts from servers were decoded lossily already; "replace" keeps a stray byte from
    // turning the intended exception into a UnicodeDecodeError.
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;  // MemoryError is set
    const auto number = os_error_number(message);
    if (!number) {
        PyErr_SetObject(type, text.get());
        return;
    }
    // An error the system reported carries its number, as Python's own OSErrors do, while the
    // message stays the only argument (so the text reads the same).
    PyRef exception = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
    if (!exception) return;
    PyRef value = PyRef::steal(PyLong_FromLong(*number));
    if (!value || PyObject_SetAttrString(exception.get(), "errno", value.get()) < 0) return;
    PyErr_SetObject(type, exception.get());
}

void raise_internal_failure(std::string_view description) {
    PyObject* type = internal_failure_type();
    if (type == nullptr) return;  // creating the type failed; that error stays set
    raise_message(type, description.empty() ? "internal failure" : description);
}

PyObject* os_error_type(IoCategory category) {
    switch (category) {
        case IoCategory::NotFound:
            return PyExc_FileNotFoundError;
        case IoCategory::PermissionDenied:
            return PyExc_PermissionError;
        case IoCategory::ConnectionRefused:
            return PyExc_ConnectionRefusedError;
        case IoCategory::ConnectionReset:
            return PyExc_ConnectionResetError;
        case IoCategory::ConnectionAborted:
            return PyExc_ConnectionAbortedError;
        case IoCategory::BrokenPipe:
            return PyExc_BrokenPipeError;
        case IoCategory::AlreadyExists:
            return PyExc_FileExistsError;
        case IoCategory::WouldBlock:
            return PyExc_BlockingIOError;
        case IoCategory::TimedOut:
            return PyExc_TimeoutError;
        case IoCategory::Interrupted:
            return PyExc_InterruptedError;
        case IoCategory::Other:
            return PyExc_OSError;
    }
    return PyExc_OSError;
}

void raise_error(const Error& error) {
    const auto index = static_cast<size_t>(error.kind);
    if (index >= kErrorKindCount) {
        return raise_internal_failure("an engine error of unknown kind: " + error.message);
    }
    PyObject* type = exception_type(kExceptionOfKind[index].raised, error.io_category);
    if (type != nullptr) return raise_message(type, error.message);
    if (PyErr_Occurred() == nullptr) {
        raise_internal_failure(error.kind == ErrorKind::SinkFailed
                                   ? "an output's memory was refused without a pending exception"
                                   : "a signal check failed without a pending exception");
    }
}

void prefix_type_error(const char* parameter) {
    if (PyErr_Occurred() == nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef original_type = PyRef::steal(type);
    PyRef original = PyRef::steal(value);
    PyRef original_traceback = PyRef::steal(traceback);

    PyRef message = PyRef::steal(PyObject_Str(original.get()));
    if (!message) return;  // str() of the exception itself failed: that error is raised instead
    PyRef prefixed =
        PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, message.get()));
    if (!prefixed) return;
    PyErr_SetObject(PyExc_TypeError, prefixed.get());
}

}  // namespace zelto::binding
