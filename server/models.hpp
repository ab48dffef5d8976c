// The built-in models of the reference server, shared by every transport it serves (sockets,
// the shared region, the hybrid pipe). A model turns one input tensor into one output tensor or
// an error text; a streaming model turns it into a sequence of frames.
//
//   id  name        kind       what it does
//    1  echo        single     returns the input unchanged
//    2  scale       single     float32 only: every element times 2
//    3  softmax     single     float32 only: softmax over the last dimension
//    4  rows        streaming  one frame per slice along the first dimension
//    5  flaky rows  streaming  like rows, with an error frame after the first data frame
//    6  session     single     returns the request's session id as a string tensor
//    7  slow echo   single     returns the input unchanged after a delay (--slow-delay-ms)
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "transport/tensor.hpp"

namespace zelto::server {

inline constexpr uint32_t kEchoModel = 1;
inline constexpr uint32_t kScaleModel = 2;
inline constexpr uint32_t kSoftmaxModel = 3;
inline constexpr uint32_t kRowsModel = 4;
inline constexpr uint32_t kFlakyRowsModel = 5;
inline constexpr uint32_t kSessionModel = 6;
inline constexpr uint32_t kSlowEchoModel = 7;

// How long slow echo waits before it answers, unless the server is told otherwise.
inline constexpr std::chrono::milliseconds kDefaultSlowEchoDelay{5};
// Sets slow echo's delay for the whole server: once, before any service starts.
void set_slow_echo_delay(std::chrono::milliseconds delay);

// What a request carries besides its tensor. Transports without sessions leave it empty.
struct ModelContext {
    std::optional<std::string> session_id;
};

// The output tensor, or the error text the transport sends with a non-zero status.
using ModelOutput = std::expected<Tensor, std::string>;

// One frame of a streaming answer: a data frame (a tensor) or an error frame (a text).
using StreamFrame = std::variant<Tensor, std::string>;

// Receives the frames of a stream in order; returns false when the frame could not be
// delivered (the peer went away), which stops the model.
using FrameSink = std::function<bool(StreamFrame frame)>;

enum class ModelKind { Unknown, Single, Streaming };

ModelKind model_kind(uint32_t model_id);

// Runs a single-shot model. A streaming model asked for a single answer, or an unknown id,
// gives an error text.
ModelOutput run_model(uint32_t model_id, Tensor input, const ModelContext& context = {});

// Runs a model as a stream: a streaming model sends its frames; a single-shot model sends its
// one output (or its error) as the stream's only frame. The caller sends the end frame.
void run_stream(uint32_t model_id, Tensor input, const ModelContext& context,
                const FrameSink& sink);

// "model N is not loaded"
std::string model_not_loaded(uint32_t model_id);

}  // namespace zelto::server
