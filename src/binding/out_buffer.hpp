// The caller's buffer that infer_into writes an output into: any writable, C-contiguous buffer
// (bytearray, memoryview, a numpy array, mmap), held from the argument's conversion to the end
// of the call, so it can neither move nor shrink while the engine writes into it without the
// interpreter lock.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "transport/socket_client.hpp"

namespace zelto::binding {

class OutBuffer {
public:
    OutBuffer() = default;
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;
    ~OutBuffer();

    // Holds `object`'s buffer. False with TypeError set when it is not a writable, C-contiguous
    // buffer.
    bool take(PyObject* object);

    // A sink that places an answer's data at the buffer's start; data longer than the buffer
    // is refused (the call then fails with SinkFailed) and its length kept for raise_refused().
    // It touches no Python object.
    const DataSink& sink() const { return sink_; }
    // The length of data the sink refused, if it did.
    std::optional<size_t> refused() const { return refused_; }

    // Copies `data` to the buffer's start and returns its length as an int, or raises the
    // ValueError of data that does not fit.
    PyObject* copy(std::span<const uint8_t> data);
    // Raises ValueError "output of N bytes does not fit in a buffer of M bytes".
    void raise_too_long(size_t n) const;

private:
    std::span<uint8_t> memory() const;
    std::span<uint8_t> place(size_t n);

    Py_buffer view_{};
    bool held_ = false;
    std::optional<size_t> refused_;
    DataSink sink_{[this](size_t n) { return place(n); }};
};

}  // namespace zelto::binding
