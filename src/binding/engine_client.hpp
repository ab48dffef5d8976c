// What ZeltoShmClient and ZeltoHybridClient share: a constructor that takes text arguments and
// call settings, and an infer(shape, dtype, data) whose output bytes come back as a list.
#pragma once

#include <Python.h>

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/bytes_output.hpp"
#include "binding/call_settings.hpp"
#include "binding/client_object.hpp"
#include "binding/conversions.hpp"
#include "binding/exceptions.hpp"
#include "binding/instance.hpp"
#include "shm/output_view.hpp"
#include "transport/errors.hpp"

namespace zelto::binding {

// tp_new: binds `signature`, whose positional parameters are all text and whose keyword-only
// ones are call settings (starting from `defaults`). Converts them in order and passes the texts
// to `create`. Its result becomes the new instance; its Error becomes the exception.
template <class State, class Create>
PyObject* new_engine_client(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                            const Signature& signature, const CallSettings& defaults,
                            Create&& create) {
    return guarded([&]() -> PyObject* {
        BoundArguments bound;
        if (!bind_arguments(signature, args, kwargs, bound)) return nullptr;
        std::vector<std::string> texts;
        for (const Parameter& parameter : signature.parameters) {
            if (parameter.keyword_only) break;
            PyObject* value = bound[texts.size()];
            if (!convert_argument(parameter.name,
                                  [&] { return extract_text(value, texts.emplace_back()); }))
                return nullptr;
        }
        CallSettings call = defaults;
        if (!convert_call_settings(signature, bound, texts.size(), call)) return nullptr;
        auto client = create(std::as_const(texts));
        if (!client) {
            raise_error(client.error());
            return nullptr;
        }
        return with_arguments<State>(new_instance<State>(type, call, std::move(*client)), signature,
                                     bound);
    });
}

// The parameters of the region clients' infer and infer_bytes, and of infer_into, whose caller's
// buffer `out` is parameter 3.
inline constexpr Parameter kTensorParameters[] = {
    {.name = "shape", .required = true},
    {.name = "dtype", .required = true},
    {.name = "data", .required = true},
};
inline constexpr Parameter kTensorIntoParameters[] = {
    {.name = "shape", .required = true},
    {.name = "dtype", .required = true},
    {.name = "data", .required = true},
    {.name = "out", .required = true, .keyword_only = true},
};

// The (shape, dtype, data) arguments of infer. `data` views the caller's bytes object, or
// `converted` for any other input, so the struct stays where it was made. Either may be read
// without the interpreter lock: an exact bytes object cannot change, and the call's bound
// arguments keep it alive.
struct TensorArguments {
    TensorArguments() = default;
    TensorArguments(const TensorArguments&) = delete;
    TensorArguments& operator=(const TensorArguments&) = delete;

    std::vector<int64_t> shape;
    std::string dtype;
    std::vector<uint8_t> converted;
    std::span<const uint8_t> data;
};

// Converts bound slots 0..2 as shape, dtype and data.
inline bool convert_tensor_arguments(const BoundArguments& bound, TensorArguments& out) {
    return convert_argument("shape", [&] { return extract_shape(bound[0], out.shape); }) &&
           convert_argument("dtype", [&] { return extract_text(bound[1], out.dtype); }) &&
           convert_argument("data",
                            [&] { return extract_data_view(bound[2], out.converted, out.data); });
}

// An engine's output bytes (a view of the server's block) as a new list, or its error raised.
// The list is built straight from the region: it is the one copy the call makes of the output.
inline PyObject* engine_output_to_list(
    const std::expected<std::span<const uint8_t>, Error>& output) {
    if (!output) {
        raise_error(output.error());
        return nullptr;
    }
    return bytes_to_list(*output);
}

inline PyObject* engine_output_to_list(const std::expected<shm::OutputView, Error>& output) {
    if (!output) {
        raise_error(output.error());
        return nullptr;
    }
    return bytes_to_list(output->data());
}

// The bytes of an engine's output, wherever they lie.
inline std::span<const uint8_t> output_data(std::span<const uint8_t> output) {
    return output;
}
inline std::span<const uint8_t> output_data(const shm::OutputView& output) {
    return output.data();
}

// The same output as a new bytes object, copied once out of the region.
inline PyObject* engine_output_to_bytes(
    const std::expected<std::span<const uint8_t>, Error>& output) {
    if (!output) {
        raise_error(output.error());
        return nullptr;
    }
    return bytes_copy(*output);
}

inline PyObject* engine_output_to_bytes(const std::expected<shm::OutputView, Error>& output) {
    if (!output) {
        raise_error(output.error());
        return nullptr;
    }
    return bytes_copy(output->data());
}

}  // namespace zelto::binding
