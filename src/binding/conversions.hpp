// Conversions between Python objects and the engines' plain values. Each extractor returns false
// with a Python exception set and without the "argument 'NAME': " prefix, which the caller adds
// (see convert_argument) because one conversion can serve several parameters.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/exceptions.hpp"
#include "transport/socket_client.hpp"
#include "transport/tensor.hpp"

namespace zelto::binding {

// A str (subclasses too) as UTF-8; any other type is "'T' object cannot be converted to
// 'PyString'". A lone surrogate raises the interpreter's UnicodeEncodeError.
bool extract_text(PyObject* object, std::string& out);

// Integers through __index__. Out-of-range values raise OverflowError; negative values or
// values past the C type raise the interpreter's own OverflowError first.
bool extract_u64(PyObject* object, uint64_t& out);
bool extract_u32(PyObject* object, uint32_t& out);
bool extract_u16(PyObject* object, uint16_t& out);

// Any sequence except str, element by element, to signed 64-bit dimensions.
bool extract_shape(PyObject* object, std::vector<int64_t>& out);
// Any sequence except str, element by element, to bytes 0..255. Exact bytes, exact bytearray and
// 1-D contiguous memoryviews of format "B" are copied in one go: the result is the same.
bool extract_data(PyObject* object, std::vector<uint8_t>& out);
// The same conversion without a copy where none is needed: an exact bytes object is viewed in
// place (it cannot change, and the caller's argument keeps it alive for the whole call); any
// other input is converted into `storage`. `view` then covers the input's bytes.
bool extract_data_view(PyObject* object, std::vector<uint8_t>& storage,
                       std::span<const uint8_t>& view);
// extract_data_view into a socket request's main tensor: exact bytes are borrowed (the call's
// own argument keeps them alive), anything else is converted into its data. Additional inputs
// are always converted: Python code run while converting the dict could drop the last
// reference to an earlier value.
bool extract_input_data(PyObject* object, InputTensor& out);
// A dict of name -> (shape, dtype, data) tuples.
bool extract_additional_inputs(PyObject* object, std::unordered_map<std::string, InputTensor>& out);

// A new list with one int 0..255 per byte.
PyObject* bytes_to_list(std::span<const uint8_t> bytes);
// A new tuple (data as a list of ints, shape as a list of ints, canonical dtype name).
PyObject* tensor_to_tuple(const DecodedTensor& tensor);
// The same tuple around a data object already made (a new reference, taken over; null passes
// its exception on).
PyObject* tensor_tuple_around(PyObject* data, const DecodedTensor& tensor);

// Runs a conversion of the argument named `parameter`, prefixing a TypeError with its name.
template <class Convert>
bool convert_argument(const char* parameter, Convert&& convert) {
    if (convert()) return true;
    prefix_type_error(parameter);
    return false;
}

// Optional text argument: a null slot (omitted or None) stays empty.
bool convert_optional_text(const char* parameter, PyObject* object,
                           std::optional<std::string>& out);

}  // namespace zelto::binding
