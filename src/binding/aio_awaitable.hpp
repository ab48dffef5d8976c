// The awaitable that the asyncio clients' calls return (aio_awaitable.cpp).
#pragma once

#include <Python.h>

namespace zelto::binding::aio {

// Wraps `future` (a new reference, stolen; null passes through) in an object that asyncio takes
// for a coroutine. A new reference, or null with an exception set.
PyObject* awaiting(PyObject* future);

}  // namespace zelto::binding::aio
