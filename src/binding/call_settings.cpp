#include "binding/call_settings.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zelto::binding {
namespace {

constexpr const char* kBadTimeout = "socket_timeout must be a positive number of seconds";
// Longer time-outs are cut to this (about 31 years): the deadline must fit the clock.
constexpr double kLongestTimeoutSeconds = 1e9;

// The seconds of a socket_timeout: what socket.settimeout() takes as a number (a float, an int,
// bool included, or anything with __index__), finite and above zero.
bool extract_timeout(PyObject* object, std::chrono::nanoseconds& out) {
    double seconds = 0;
    if (PyFloat_Check(object)) {
        seconds = PyFloat_AsDouble(object);
        if (seconds == -1.0 && PyErr_Occurred()) return false;
    } else if (PyIndex_Check(object)) {
        PyObject* number = PyNumber_Index(object);
        if (number == nullptr) return false;
        int overflow = 0;
        long long whole = PyLong_AsLongLongAndOverflow(number, &overflow);
        Py_DECREF(number);
        if (whole == -1 && PyErr_Occurred()) return false;
        seconds = overflow > 0   ? kLongestTimeoutSeconds
                  : overflow < 0 ? -1.0
                                 : static_cast<double>(whole);
    } else {
        PyErr_SetString(PyExc_TypeError, kBadTimeout);
        return false;
    }
    if (!std::isfinite(seconds) || seconds <= 0) {
        PyErr_SetString(PyExc_ValueError, kBadTimeout);
        return false;
    }
    seconds = std::min(seconds, kLongestTimeoutSeconds);
    // Rounded up, so a tiny positive time-out is still a time-out, not "no time at all".
    out = std::chrono::nanoseconds(static_cast<int64_t>(std::ceil(seconds * 1e9)));
    return true;
}

}  // namespace

bool convert_call_settings(const Signature& signature, const BoundArguments& bound, size_t first,
                           CallSettings& out) {
    for (size_t i = first; i < signature.parameters.size(); ++i) {
        PyObject* value = bound[i];
        if (value == nullptr) continue;  // omitted, or None where None is the default
        const char* name = signature.parameters[i].name;
        if (std::strcmp(name, kReleaseGil) == 0) {
            const int truth = PyObject_IsTrue(value);
            if (truth < 0) return false;
            out.release_gil = truth == 1;
        } else if (std::strcmp(name, kSocketTimeout) == 0) {
            std::chrono::nanoseconds timeout{};
            if (!extract_timeout(value, timeout)) return false;
            out.timeout = timeout;
        }
    }
    return true;
}

}  // namespace zelto::binding
