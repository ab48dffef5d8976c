#include "binding/conversions.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "binding/instance.hpp"
#include "binding/py_ref.hpp"
#include "platform/memory.hpp"

namespace zelto::binding {
namespace {

// A sequence's length only sizes the first allocation; a __len__ that overstates cannot make
// the conversion reserve more than this many elements up front.
constexpr Py_ssize_t kMaxReservedElements = Py_ssize_t{1} << 20;

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

void raise_cannot_convert(PyObject* object, const char* target) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

// Steps shared by shape and data: refuse str, require the sequence protocol, size the result
// from the length when there is one, then convert every item of the iteration with
// `convert_item(item, value)`.
template <class T, class ConvertItem>
bool extract_items(PyObject* object, std::vector<T>& out, ConvertItem&& convert_item) {
    out.clear();
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "a str cannot be extracted as a sequence");
        return false;
    }
    if (!PySequence_Check(object)) {
        raise_cannot_convert(object, "Sequence");
        return false;
    }
    if (PyList_CheckExact(object)) {
        // What a list's iterator does, without the iterator: items by index while the index is
        // below the current length. Converting an exact int runs no Python code, so neither
        // the list nor the item can change meanwhile; any other item is held by a reference
        // of its own, and the length read again, because its __index__ may change the list.
        Py_ssize_t length = PyList_Size(object);
        out.reserve(static_cast<size_t>(length));  // a list's length is its real item count
        for (Py_ssize_t i = 0; i < length; ++i) {
            PyObject* item = PyList_GetItem(object, i);
            T value{};
            if (PyLong_CheckExact(item)) {
                if (!convert_item(item, value)) return false;
            } else {
                PyRef held = PyRef::borrow(item);
                if (!convert_item(item, value)) return false;
                length = PyList_Size(object);
            }
            out.push_back(value);
        }
        return true;
    }
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0)
        PyErr_Clear();  // no usable length: start empty
    else
        out.reserve(static_cast<size_t>(std::min(length, kMaxReservedElements)));

    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        T value{};
        if (!convert_item(item.get(), value)) return false;
        out.push_back(value);
    }
    return PyErr_Occurred() == nullptr;
}

// The copy without iteration, for the types whose iteration yields exactly their bytes.
// Returns false when `object` is not one of them (no exception set).
bool copy_byte_buffer(PyObject* object, std::vector<uint8_t>& out) {
    if (PyBytes_CheckExact(object)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(object, &data, &size) < 0) {
            PyErr_Clear();
            return false;
        }
        platform::reserve_bytes(out, static_cast<size_t>(size));
        out.assign(data, data + size);
        return true;
    }
    if (PyByteArray_CheckExact(object)) {
        const char* data = PyByteArray_AsString(object);
        Py_ssize_t size = PyByteArray_Size(object);
        if (data == nullptr || size < 0) {
            PyErr_Clear();
            return false;
        }
        platform::reserve_bytes(out, static_cast<size_t>(size));
        out.assign(data, data + size);
        return true;
    }
    if (PyMemoryView_Check(object)) {
        Py_buffer view;
        // A released view refuses here; the element-by-element path then raises its error.
        if (PyObject_GetBuffer(object, &view, PyBUF_FULL_RO) < 0) {
            PyErr_Clear();
            return false;
        }
        bool plain_bytes = view.ndim == 1 && view.format != nullptr &&
                           std::strcmp(view.format, "B") == 0 && view.itemsize == 1 &&
                           PyBuffer_IsContiguous(&view, 'C');
        if (plain_bytes) {
            const auto* data = static_cast<const uint8_t*>(view.buf);
            platform::reserve_bytes(out, static_cast<size_t>(view.len));
            out.assign(data, data + view.len);
        }
        PyBuffer_Release(&view);
        return plain_bytes;
    }
    return false;
}

bool extract_tensor(PyObject* tuple, InputTensor& out) {
    return extract_shape(PyTuple_GetItem(tuple, 0), out.shape) &&
           extract_text(PyTuple_GetItem(tuple, 1), out.dtype) &&
           extract_data(PyTuple_GetItem(tuple, 2), out.data);
}

// The interpreter's cached small ints 0..255, one strong reference each for the process, filled
// by byte_values(). A namespace-scope array, so that byte_values_next finds it at a fixed
// address instead of loading a pointer to it for every byte (about 5% of a large list's time).
std::array<PyObject*, 256> g_byte_values{};

PyObject* const* byte_values() {
    static bool ready = false;
    if (!ready) {
        for (size_t i = 0; i < g_byte_values.size(); ++i) {
            PyObject*& value = g_byte_values[i];
            if (value == nullptr) value = PyLong_FromLong(static_cast<long>(i));
            if (value == nullptr) return nullptr;
        }
        ready = true;
    }
    return g_byte_values.data();
}

// An iterator over a byte buffer that yields the interpreter's cached ints 0..255, used only
// inside bytes_to_list. list() of a sized iterator takes CPython's own path: one allocation of
// exactly the announced length, filled front to back, the same work as list(bytes) without
// first copying the bytes into a bytes object. (Filling a PyList_New list with PyList_SetItem
// costs more for large outputs: its storage comes from calloc as untouched zero pages, and each
// page is faulted twice, read by the item swap and then written.)
// Below this many items a result list is filled item by item (no iterator to set up); from it
// on, through ByteValues. 16384 items are 128 KiB of list storage, where allocators start to
// hand out fresh pages.
constexpr size_t kSmallListItems = 16384;

struct ByteValues {
    PyObject ob_base;
    const uint8_t* next;
    const uint8_t* end;
};

// Called once per output byte, this function's placement in memory shows: where it began 16
// bytes past a 64-byte line, building a 1 MiB list took about 8% longer (around 200 µs) than
// where it began on a 32-byte or 64-byte boundary. It is pinned to a line's start.
__attribute__((aligned(64))) PyObject* byte_values_next(PyObject* self) {
    auto* iterator = reinterpret_cast<ByteValues*>(self);
    if (iterator->next == iterator->end) return nullptr;  // exhausted, no exception set
    PyObject* value = g_byte_values[*iterator->next++];
    Py_INCREF(value);
    return value;
}

PyObject* byte_values_length_hint(PyObject* self, PyObject*) {
    auto* iterator = reinterpret_cast<ByteValues*>(self);
    return PyLong_FromSsize_t(iterator->end - iterator->next);
}

void byte_values_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_memory(self);
    Py_DECREF(type);
}

PyMethodDef kByteValuesMethods[] = {
    {"__length_hint__", byte_values_length_hint, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kByteValuesSlots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(byte_values_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(byte_values_dealloc)},
    {Py_tp_methods, kByteValuesMethods},
    {0, nullptr},
};

PyType_Spec kByteValuesSpec = {
    "builtins.byte_values_iterator", static_cast<int>(sizeof(ByteValues)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kByteValuesSlots};

PyTypeObject* byte_values_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) type = create_type(kByteValuesSpec, "byte_values_iterator");
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

bool extract_text(PyObject* object, std::string& out) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return false;
    out.assign(text, static_cast<size_t>(size));
    return true;
}

bool extract_u64(PyObject* object, uint64_t& out) {
    PyRef index;
    PyObject* value = object;
    if (!PyLong_Check(object)) {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index) return false;
        value = index.get();
    }
    unsigned long long result = PyLong_AsUnsignedLongLong(value);
    if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = result;
    return true;
}

bool extract_u32(PyObject* object, uint32_t& out) {
    uint64_t wide = 0;
    if (!extract_u64(object, wide)) return false;
    if (wide > std::numeric_limits<uint32_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<uint32_t>(wide);
    return true;
}

bool extract_u16(PyObject* object, uint16_t& out) {
    long value = PyLong_AsLong(object);  // __index__ for non-ints; C long overflow raises here
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > std::numeric_limits<uint16_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<uint16_t>(value);
    return true;
}

bool extract_shape(PyObject* object, std::vector<int64_t>& out) {
    return extract_items(object, out, [](PyObject* item, int64_t& value) {
        long long dimension = PyLong_AsLongLong(item);
        if (dimension == -1 && PyErr_Occurred()) return false;
        value = static_cast<int64_t>(dimension);
        return true;
    });
}

bool extract_data(PyObject* object, std::vector<uint8_t>& out) {
    if (copy_byte_buffer(object, out)) return true;
    return extract_items(object, out, [](PyObject* item, uint8_t& value) {
        long byte = PyLong_AsLong(item);
        if (byte == -1 && PyErr_Occurred()) return false;
        if (byte < 0 || byte > 255) {
            PyErr_SetString(PyExc_OverflowError, kOutOfRange);
            return false;
        }
        value = static_cast<uint8_t>(byte);
        return true;
    });
}

bool extract_data_view(PyObject* object, std::vector<uint8_t>& storage,
                       std::span<const uint8_t>& view) {
    if (PyBytes_CheckExact(object)) {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(object, &data, &size) == 0) {
            view = std::span(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size));
            return true;
        }
        PyErr_Clear();
    }
    if (!extract_data(object, storage)) return false;
    view = storage;
    return true;
}

bool extract_input_data(PyObject* object, InputTensor& out) {
    std::span<const uint8_t> view;
    if (!extract_data_view(object, out.data, view)) return false;
    if (view.data() != out.data.data()) out.borrowed = view;
    return true;
}

bool extract_additional_inputs(PyObject* object,
                               std::unordered_map<std::string, InputTensor>& out) {
    if (!PyDict_Check(object)) {
        raise_cannot_convert(object, "PyDict");
        return false;
    }
    // A snapshot of the items: the conversions run Python code (__index__, __iter__) that could
    // change the dict, which must not invalidate what is being converted.
    PyRef items = PyRef::steal(PyDict_Items(object));
    if (!items) return false;
    Py_ssize_t count = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* pair = PyList_GetItem(items.get(), i);
        PyRef key = PyRef::borrow(PyTuple_GetItem(pair, 0));
        PyRef value = PyRef::borrow(PyTuple_GetItem(pair, 1));
        if (!key || !value) return false;

        std::string name;
        if (!extract_text(key.get(), name)) return false;
        if (!PyTuple_Check(value.get())) {
            raise_cannot_convert(value.get(), "PyTuple");
            return false;
        }
        Py_ssize_t length = PyTuple_Size(value.get());
        if (length != 3) {
            PyErr_Format(PyExc_ValueError,
                         "expected tuple of length 3, but got tuple of length %zd", length);
            return false;
        }
        InputTensor tensor;
        if (!extract_tensor(value.get(), tensor)) return false;
        out.insert_or_assign(std::move(name), std::move(tensor));
    }
    return true;
}

bool convert_optional_text(const char* parameter, PyObject* object,
                           std::optional<std::string>& out) {
    if (object == nullptr) return true;
    std::string text;
    if (!convert_argument(parameter, [&] { return extract_text(object, text); })) return false;
    out = std::move(text);
    return true;
}

PyObject* bytes_to_list(std::span<const uint8_t> bytes) {
    PyObject* const* values = byte_values();
    if (values == nullptr) return nullptr;
    if (bytes.size() < kSmallListItems) {
        // Small lists come from memory the allocator already holds: fill them directly.
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(bytes.size())));
        if (!list) return nullptr;
        for (size_t i = 0; i < bytes.size(); ++i) {
            PyObject* value = values[bytes[i]];
            Py_INCREF(value);
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);  // steals `value`
        }
        return list.release();
    }
    PyTypeObject* type = byte_values_type();
    if (type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef iterator = PyRef::steal(alloc(type, 0));
    if (!iterator) return nullptr;
    auto* byte_iterator = reinterpret_cast<ByteValues*>(iterator.get());
    byte_iterator->next = bytes.data();
    byte_iterator->end = bytes.data() + bytes.size();
    PyObject* list = PySequence_List(iterator.get());
    // The iterator must never read `bytes` after this call, whoever might still hold it.
    byte_iterator->next = byte_iterator->end = nullptr;
    return list;
}

PyObject* tensor_to_tuple(const DecodedTensor& tensor) {
    return tensor_tuple_around(bytes_to_list(tensor.data), tensor);
}

PyObject* tensor_tuple_around(PyObject* data_object, const DecodedTensor& tensor) {
    PyRef data = PyRef::steal(data_object);
    if (!data) return nullptr;
    PyRef shape = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tensor.shape.size())));
    if (!shape) return nullptr;
    for (size_t i = 0; i < tensor.shape.size(); ++i) {
        PyObject* dimension = PyLong_FromLongLong(tensor.shape[i]);
        if (dimension == nullptr) return nullptr;
        PyList_SetItem(shape.get(), static_cast<Py_ssize_t>(i), dimension);
    }
    std::string_view name = canonical_name(tensor.dtype);
    PyRef dtype = PyRef::steal(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!dtype) return nullptr;
    PyRef tuple = PyRef::steal(PyTuple_New(3));
    if (!tuple) return nullptr;
    PyTuple_SetItem(tuple.get(), 0, data.release());
    PyTuple_SetItem(tuple.get(), 1, shape.release());
    PyTuple_SetItem(tuple.get(), 2, dtype.release());
    return tuple.release();
}

}  // namespace zelto::binding
