// The arguments that ZeltoClient and zelto_sdk.aio.ZeltoClient share: the constructor's
// endpoint and pool settings, and the inference methods' tensors.
#pragma once

#include "binding/arguments.hpp"
#include "transport/config.hpp"
#include "transport/socket_client.hpp"

namespace zelto::binding {

// The parameters of the inference methods (infer, infer_tensor, the streams and the bytes twins)
// and of infer_into, whose caller's buffer `out` is parameter kOut.
inline constexpr Parameter kInferParameters[] = {
    {.name = "model_id", .required = true},
    {.name = "shape", .required = true},
    {.name = "dtype", .required = true},
    {.name = "data", .required = true},
    {.name = "additional_inputs", .default_none = true},
    {.name = "session_id", .default_none = true},
};
inline constexpr Parameter kInferIntoParameters[] = {
    {.name = "model_id", .required = true},
    {.name = "shape", .required = true},
    {.name = "dtype", .required = true},
    {.name = "data", .required = true},
    {.name = "additional_inputs", .default_none = true},
    {.name = "session_id", .default_none = true},
    {.name = "out", .required = true, .keyword_only = true},
};
inline constexpr size_t kOut = 6;

// The constructor's first eight parameters (endpoint, protocol, host, port, socket_path,
// pipe_name, max_pool_size, api_token). False with the exception set.
bool convert_config_arguments(const BoundArguments& bound, ConfigArguments& out);

// The inference methods' first six parameters (model_id, shape, dtype, data, additional_inputs,
// session_id). False with the exception set.
bool convert_infer_arguments(const BoundArguments& bound, InferArguments& out);

}  // namespace zelto::binding
