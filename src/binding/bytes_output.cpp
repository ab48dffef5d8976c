#include "binding/bytes_output.hpp"

namespace zelto::binding {

std::span<uint8_t> BytesSink::make(size_t n) {
    if (gil_ == nullptr) return make_locked(n);
    return gil_->held([&] { return make_locked(n); });
}

std::span<uint8_t> BytesSink::make_locked(size_t n) {
    bytes_ = PyRef();
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return {};
    }
    // Uninitialised storage: the engine writes every byte before the object is handed out.
    bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n)));
    if (!bytes_) return {};
    return std::span(reinterpret_cast<uint8_t*>(PyBytes_AsString(bytes_.get())), n);
}

PyObject* BytesSink::take(std::span<const uint8_t> data) {
    if (bytes_ && PyBytes_Size(bytes_.get()) == static_cast<Py_ssize_t>(data.size()) &&
        reinterpret_cast<const uint8_t*>(PyBytes_AsString(bytes_.get())) == data.data()) {
        return bytes_.release();
    }
    return bytes_copy(data);
}

PyObject* bytes_copy(std::span<const uint8_t> data) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                     static_cast<Py_ssize_t>(data.size()));
}

}  // namespace zelto::binding
