#include "binding/out_buffer.hpp"

#include <cstring>
#include <string>

namespace zelto::binding {

OutBuffer::~OutBuffer() {
    if (held_) PyBuffer_Release(&view_);
}

bool OutBuffer::take(PyObject* object) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) == 0) {
        held_ = true;
        return true;
    }
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "argument 'out' must be a writable, C-contiguous buffer");
    return false;
}

std::span<uint8_t> OutBuffer::memory() const {
    return {static_cast<uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
}

std::span<uint8_t> OutBuffer::place(size_t n) {
    if (n > memory().size()) {
        refused_ = n;
        return {};
    }
    return memory().first(n);
}

PyObject* OutBuffer::copy(std::span<const uint8_t> data) {
    if (data.size() > memory().size()) {
        raise_too_long(data.size());
        return nullptr;
    }
    if (!data.empty()) std::memcpy(memory().data(), data.data(), data.size());
    return PyLong_FromSize_t(data.size());
}

void OutBuffer::raise_too_long(size_t n) const {
    const std::string message = "output of " + std::to_string(n) +
                                " bytes does not fit in a buffer of " +
                                std::to_string(memory().size()) + " bytes";
    PyErr_SetString(PyExc_ValueError, message.c_str());
}

}  // namespace zelto::binding
