// StreamIterator: the Python side of one stream request, one response frame per step.
#include "binding/bytes_output.hpp"
#include "binding/call_settings.hpp"
#include "binding/conversions.hpp"
#include "binding/exceptions.hpp"
#include "binding/instance.hpp"
#include "binding/python_log.hpp"
#include "binding/types.hpp"
#include "platform/fork.hpp"
#include "transport/debug_notes.hpp"
#include "transport/socket_client.hpp"

namespace zelto::binding {
namespace {

struct StreamState {
    StreamState(Connection c, StreamItems i) : connection(std::move(c)), items(i) {}
    Connection connection;  // closed when the iterator is destroyed, not at the end of the stream
    StreamItems items;
    // Once the end frame was read, or a wait for a frame was stopped, further steps end at once
    // instead of waiting on the connection for a frame the server will never send.
    bool ended = false;
    // A child process shares the connection with its parent: it must not read the parent's
    // frames. Destroying the iterator there only closes the child's descriptor.
    platform::ProcessStamp process;
};

using StreamObject = Instance<StreamState>;

PyObject* stream_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for StreamIterator");
    return nullptr;
}

PyObject* stream_iter(PyObject* self) {
    return guarded([&]() -> PyObject* {
        StreamObject* stream =
            receiver<StreamState>(self, stream_iterator_type(), "StreamIterator");
        if (stream == nullptr) return nullptr;
        Use use(stream->in_use, Use::Mode::Shared);
        if (!use.ok()) return nullptr;
        Py_INCREF(self);
        return self;
    });
}

// Returns the next item, or null without an exception at the end of the stream. A failed read,
// an error item or one that does not decode is a RuntimeError and leaves the stream usable for
// the next frame. A wait stopped by a signal handler's exception or by the client's time-out
// (which bounds each frame), or a bytes item whose memory could not be had (MemoryError), may
// have ended mid-frame: the connection is closed and the stream is over.
PyObject* stream_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        StreamObject* stream =
            receiver<StreamState>(self, stream_iterator_type(), "StreamIterator");
        if (stream == nullptr) return nullptr;
        DebugNotesOfCall notes;
        const RunningCall call(stream->call);
        Use use(stream->in_use, Use::Mode::Exclusive, call.deadline);
        if (!use.ok()) return nullptr;
        StreamState& state = stream->state;
        if (state.process.in_other_process()) {
            raise_error(Error::created_in_other_process());
            return nullptr;
        }
        if (state.ended) return nullptr;
        const bool bytes_items = state.items == StreamItems::Bytes;
        BytesSink output;
        auto item = engine_call(call, output, [&](const platform::CallWait& wait) {
            return read_stream_item(state.connection, wait, bytes_items ? &output.sink() : nullptr);
        });
        if (!item) {
            if (item.error().kind == ErrorKind::TimedOut)
                debug_notes::note("waiting for a stream's next frame timed out");
            if (item.error().abandoned_exchange()) {
                state.connection = Connection();
                state.ended = true;
            }
            raise_error(item.error());
            return nullptr;
        }
        if (!item->has_value()) {
            state.ended = true;
            return nullptr;
        }
        return bytes_items ? output.take((*item)->data) : bytes_to_list((*item)->data);
    });
}

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<StreamState>)},
    {Py_tp_iter, reinterpret_cast<void*>(stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.StreamIterator", static_cast<int>(sizeof(StreamObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* stream_iterator_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kSpec, "StreamIterator");
    return type;
}

PyObject* new_stream_iterator(Connection connection, const CallSettings& call, StreamItems items) {
    PyObject* type = stream_iterator_type();
    if (type == nullptr) return nullptr;  // the connection closes as it goes out of scope
    return new_instance<StreamState>(reinterpret_cast<PyTypeObject*>(type), call,
                                     std::move(connection), items);
}

}  // namespace zelto::binding
