// Outputs as bytes objects, the results of the *_bytes methods. A socket answer is received
// straight into the bytes object that is returned; a shared-memory answer is copied into one
// once, out of the region.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "binding/call_gil.hpp"
#include "binding/py_ref.hpp"
#include "transport/socket_client.hpp"

namespace zelto::binding {

// The engine's sink for one call: it makes the bytes object once the engine knows the data's
// length, the engine fills its storage in place, and only then is the object handed out, so no
// one sees it half filled. A failed allocation leaves MemoryError set and refuses the memory.
// The sink makes Python objects: with the lock released for the engine's call, it takes it back
// through that call's CallGil (make_under).
class BytesSink {
public:
    BytesSink() = default;
    BytesSink(const BytesSink&) = delete;
    BytesSink& operator=(const BytesSink&) = delete;

    const DataSink& sink() const { return sink_; }
    // Makes the objects with the lock taken back through `gil` (which outlives the call).
    void make_under(CallGil& gil) { gil_ = &gil; }
    // The result for the answer's `data`: the bytes object it was read into, else (nothing was
    // asked of the sink) a new copy. A new reference, or null with an exception set.
    PyObject* take(std::span<const uint8_t> data);

private:
    std::span<uint8_t> make(size_t n);
    std::span<uint8_t> make_locked(size_t n);

    CallGil* gil_ = nullptr;
    PyRef bytes_;  // the latest object made: an attempt that is retried asks again
    DataSink sink_{[this](size_t n) { return make(n); }};
};

// A new bytes object with a copy of `data`.
PyObject* bytes_copy(std::span<const uint8_t> data);

}  // namespace zelto::binding
