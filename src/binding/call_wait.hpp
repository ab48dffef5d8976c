// The wait policy of a Python call: its waits run the interpreter's signal handlers between
// slices, so Ctrl-C or an alarm handler that raises ends a call that waits on a silent peer.
#pragma once

#include <Python.h>

#include "platform/call_wait.hpp"

namespace zelto::binding {

// PyErr_CheckSignals runs the handlers only on the main thread (elsewhere it returns 0 at once)
// and needs the interpreter lock, which every call holds.
inline platform::CallWait python_call_wait() {
    platform::CallWait wait;
    wait.interrupted = [] { return PyErr_CheckSignals() != 0; };
    return wait;
}

}  // namespace zelto::binding
