#include "binding/exceptions.hpp"

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

PyObject* client_error_type(const ClientError& error) {
    switch (error.kind) {
        case ClientError::Kind::Io:
            return error.raise_by_category ? os_error_type(error.io_category)
                                           : PyExc_ConnectionError;
        case ClientError::Kind::Config:
        case ClientError::Kind::InvalidInput:
            return PyExc_ValueError;
        case ClientError::Kind::Codec:
        case ClientError::Kind::Server:
        case ClientError::Kind::Usage:
            return PyExc_RuntimeError;
        case ClientError::Kind::TimedOut:
            return PyExc_TimeoutError;
        case ClientError::Kind::Interrupted:
            return nullptr;  // the signal handler's exception is already set
        case ClientError::Kind::SinkFailed:
            return nullptr;  // the exception of the failed allocation is already set
    }
    return PyExc_RuntimeError;
}

}  // namespace

void raise_message(PyObject* type, std::string_view message) {
    // Texts from servers were decoded lossily already; "replace" keeps a stray byte from
    // turning the intended exception into a UnicodeDecodeError.
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;  // MemoryError is set
    PyErr_SetObject(type, text.get());
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

void raise_client_error(const ClientError& error) {
    PyObject* type = client_error_type(error);
    if (type == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            raise_internal_failure(error.kind == ClientError::Kind::SinkFailed
                                       ? "an output's memory was refused without a pending "
                                         "exception"
                                       : "a signal check failed without a pending exception");
        }
        return;
    }
    raise_message(type, error.message);
}

void raise_engine_error(const EngineError& error) {
    switch (error.type) {
        case EngineError::Type::ValueError:
            return raise_message(PyExc_ValueError, error.message);
        case EngineError::Type::RuntimeError:
            return raise_message(PyExc_RuntimeError, error.message);
        case EngineError::Type::TimeoutError:
            return raise_message(PyExc_TimeoutError, error.message);
        case EngineError::Type::ConnectionError:
            return raise_message(PyExc_ConnectionError, error.message);
        case EngineError::Type::SignalRaised:
            if (PyErr_Occurred() == nullptr)
                raise_internal_failure("a signal check failed without a pending exception");
            return;
    }
    raise_internal_failure("unknown engine error type: " + error.message);
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
