// The module's Python types. Each is created once per process, on first need, and kept for the
// life of the process. Every getter returns a borrowed reference, or null with an exception set.
#pragma once

#include <Python.h>

#include "binding/call_settings.hpp"
#include "transport/connection.hpp"

namespace zelto::binding {

PyObject* zelto_client_type();
PyObject* shm_client_type();
PyObject* hybrid_client_type();

// StreamIterator is not a module attribute: it is reached only through the objects that
// ZeltoClient.infer_stream returns.
PyObject* stream_iterator_type();
// What a stream's items are: lists of ints (infer_stream) or bytes (infer_stream_bytes).
enum class StreamItems { Lists, Bytes };
// A new iterator owning `connection`, on which a stream request has been sent; its steps run
// under `call`, the settings of the client that made it.
PyObject* new_stream_iterator(Connection connection, const CallSettings& call, StreamItems items);

}  // namespace zelto::binding
