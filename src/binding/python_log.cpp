#include "binding/python_log.hpp"

#include <Python.h>

#include "binding/py_ref.hpp"

namespace zelto::binding {
namespace {

constexpr long kInfoLevel = 20;  // logging.INFO

PyRef text(std::string_view value) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

bool emit(std::string_view target, std::string_view message) {
    PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    if (!logging) return false;
    PyRef name = text(target);
    if (!name) return false;
    PyRef logger = PyRef::steal(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get()));
    if (!logger) return false;
    PyRef enabled =
        PyRef::steal(PyObject_CallMethod(logger.get(), "isEnabledFor", "l", kInfoLevel));
    if (!enabled) return false;
    int is_enabled = PyObject_IsTrue(enabled.get());
    if (is_enabled <= 0) return is_enabled == 0;
    // The message is passed as the format string with no arguments, so '%' in a region name
    // is not interpreted.
    PyRef record = text(message);
    if (!record) return false;
    PyRef result = PyRef::steal(PyObject_CallMethod(logger.get(), "info", "O", record.get()));
    return static_cast<bool>(result);
}

}  // namespace

shm::LogFn python_info_log() {
    return [](std::string_view target, std::string_view message) {
        // Logging is a side channel: a failure in it must not fail the attach it reports.
        if (!emit(target, message)) PyErr_Clear();
    };
}

}  // namespace zelto::binding
