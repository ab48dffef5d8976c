// The awaitable that the asyncio clients' calls return (aio_awaitable.cpp).
#pragma once

#include <Python.h>

namespace zelto::binding::aio {

// Wraps `future` (a new reference, stolen; null passes through) in an object that asyncio takes
// for a coroutine. A new reference, or null with an exception set.
PyObject* awaiting(PyObject* future);
// The same for a call that finished as it was made, with no future: awaiting it gives `value`
// or raises `exception` (both stolen; exactly one is not null) without a turn of the loop.
PyObject* awaiting_finished(PyObject* value, PyObject* exception);

}  // namespace zelto::binding::aio
