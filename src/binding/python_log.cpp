#include "binding/python_log.hpp"

#include <Python.h>

#include <string>
#include <vector>

#include "binding/py_ref.hpp"
#include "transport/debug_notes.hpp"

namespace zelto::binding {
namespace {

constexpr long kInfoLevel = 20;   // logging.INFO
constexpr long kDebugLevel = 10;  // logging.DEBUG

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

// logging.getLogger("zelto_sdk"), made once: a logger lives as long as the logging module.
PyObject* debug_logger() {
    static PyObject* logger = nullptr;
    if (logger == nullptr) {
        PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
        if (!logging) return nullptr;
        logger = PyObject_CallMethod(logging.get(), "getLogger", "s", "zelto_sdk");
    }
    return logger;
}

// Whether the logger takes DEBUG records. The logger keeps its answers in a cache that it
// clears whenever a level changes; reading it costs two lookups instead of a Python call.
bool debug_enabled() {
    PyObject* logger = debug_logger();
    if (logger == nullptr) return false;
    static PyObject* level = PyLong_FromLong(kDebugLevel);
    if (level == nullptr) return false;
    static PyObject* cache_name = PyUnicode_InternFromString("_cache");
    if (cache_name == nullptr) return false;
    PyRef cache = PyRef::steal(PyObject_GetAttr(logger, cache_name));
    if (cache && PyDict_Check(cache.get())) {
        if (PyObject* known = PyDict_GetItemWithError(cache.get(), level)) return known == Py_True;
        if (PyErr_Occurred() != nullptr) return false;
    }
    PyErr_Clear();
    PyRef enabled = PyRef::steal(PyObject_CallMethod(logger, "isEnabledFor", "O", level));
    return enabled && PyObject_IsTrue(enabled.get()) == 1;
}

bool emit_debug(const std::vector<std::string>& notes) {
    PyObject* logger = debug_logger();
    if (logger == nullptr) return false;
    for (const std::string& note : notes) {
        // The note is the format string with no arguments: a '%' in it stays as it is.
        PyRef record = text(note);
        if (!record) return false;
        PyRef result = PyRef::steal(PyObject_CallMethod(logger, "debug", "O", record.get()));
        if (!result) return false;
    }
    return true;
}

}  // namespace

void DebugNotesOfCall::take_every_call() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    notes_.everyday = debug_enabled();
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

DebugNotesOfCall::~DebugNotesOfCall() {
    if (notes_.taken.empty()) return;
    const std::vector<std::string>& taken = notes_.taken;
    // The call's own exception, if it raised, stays the one raised; logging is a side channel.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (debug_enabled()) (void)emit_debug(taken);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

shm::LogFn python_info_log() {
    return [](std::string_view target, std::string_view message) {
        // Logging is a side channel: a failure in it must not fail the attach it reports.
        if (!emit(target, message)) PyErr_Clear();
    };
}

}  // namespace zelto::binding
