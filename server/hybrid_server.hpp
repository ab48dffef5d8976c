// The hybrid side of the reference server: control messages on a local stream socket for the
// region that --shm creates.
//
// Each connection carries request frames one after another (FrameHeader model 0, kind 4,
// length 40, then a HybridRequest). For each, the server reads the input TensorBlock at
// shm_offset, runs the model named by param_code (or the default model when it is 0), writes
// the output block into the region's output area and answers status 0 with a HybridResponse
// naming that block; the block stays the connection's until it sends its next request or closes.
// A failure of the input or the model, or no free block ("output area full"), is answered with
// status 1 and its text; a frame of another kind or length is answered the same way and ends the
// connection, since the stream can no longer be trusted to be in step.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "service.hpp"
#include "shm_server.hpp"

namespace zelto::server {

// Listens on a local stream socket (\\.\pipe\NAME is /tmp/NAME), replacing a stale socket file,
// and prints "listening on hybrid FILE". The file is removed at stop.
StartResult start_hybrid_service(std::shared_ptr<ServerRegion> region, std::string_view path,
                                 uint32_t default_model);

// The same with the default model given as --shm-model's text (echo when absent), so requests
// that name no model run the same model on both sides of the region.
StartResult start_hybrid_service(std::shared_ptr<ServerRegion> region, std::string_view path,
                                 const std::optional<std::string>& model);

}  // namespace zelto::server
