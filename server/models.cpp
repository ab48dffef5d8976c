#include "models.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <thread>

namespace zelto::server {
namespace {

constexpr size_t kFloat32Size = 4;
// A stream never has more frames than this, whatever the shape claims.
constexpr int64_t kMaxStreamRows = 65536;

// Written once at start-up, before the services' threads exist; only read afterwards.
std::chrono::milliseconds g_slow_echo_delay = kDefaultSlowEchoDelay;

std::string shape_text(std::span<const int64_t> shape) {
    std::string text = "[";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + "]";
}

std::string model_label(uint32_t model_id) {
    switch (model_id) {
        case kEchoModel:
            return "model 1 (echo)";
        case kScaleModel:
            return "model 2 (scale)";
        case kSoftmaxModel:
            return "model 3 (softmax)";
        case kRowsModel:
            return "model 4 (rows)";
        case kFlakyRowsModel:
            return "model 5 (flaky rows)";
        case kSessionModel:
            return "model 6 (session)";
        case kSlowEchoModel:
            return "model 7 (slow echo)";
        default:
            return "model " + std::to_string(model_id);
    }
}

// The float32 elements of a tensor, or why the tensor is not usable as float32 input.
std::expected<std::vector<float>, std::string> float32_elements(uint32_t model_id,
                                                                const Tensor& input) {
    if (input.dtype != DType::Float32) {
        return std::unexpected(model_label(model_id) + " takes float32 input, not " +
                               std::string(canonical_name(input.dtype)));
    }
    if (input.data.size() % kFloat32Size != 0) {
        return std::unexpected(model_label(model_id) + ": " + std::to_string(input.data.size()) +
                               " bytes are not a whole number of float32 elements");
    }
    std::vector<float> values(input.data.size() / kFloat32Size);
    if (!values.empty()) std::memcpy(values.data(), input.data.data(), input.data.size());
    return values;
}

Tensor float32_tensor(std::vector<int64_t> shape, const std::vector<float>& values) {
    Tensor tensor{std::move(shape), DType::Float32,
                  std::vector<uint8_t>(values.size() * kFloat32Size)};
    if (!values.empty()) std::memcpy(tensor.data.data(), values.data(), tensor.data.size());
    return tensor;
}

ModelOutput scale(Tensor input) {
    auto values = float32_elements(kScaleModel, input);
    if (!values) return std::unexpected(values.error());
    for (float& value : *values) value *= 2.0f;
    return float32_tensor(std::move(input.shape), *values);
}

// Softmax over the last dimension: the shape must describe exactly the elements sent.
ModelOutput softmax(Tensor input) {
    auto values = float32_elements(kSoftmaxModel, input);
    if (!values) return std::unexpected(values.error());
    uint64_t count = 1;
    bool fits = true;
    for (int64_t dim : input.shape) {
        if (dim < 0 || (dim > 0 && count > std::numeric_limits<uint64_t>::max() / uint64_t(dim))) {
            fits = false;
            break;
        }
        count *= static_cast<uint64_t>(dim);
    }
    if (!fits || count != values->size()) {
        return std::unexpected(model_label(kSoftmaxModel) + ": shape " + shape_text(input.shape) +
                               " does not match " + std::to_string(values->size()) +
                               " float32 elements");
    }
    size_t row = input.shape.empty() ? 1 : static_cast<size_t>(input.shape.back());
    if (row == 0) return float32_tensor(std::move(input.shape), *values);
    for (size_t start = 0; start < values->size(); start += row) {
        std::span<float> slice(values->data() + start, row);
        float peak = *std::max_element(slice.begin(), slice.end());
        float sum = 0.0f;
        for (float& value : slice) {
            value = std::exp(value - peak);
            sum += value;
        }
        for (float& value : slice) value /= sum;
    }
    return float32_tensor(std::move(input.shape), *values);
}

ModelOutput session(const ModelContext& context) {
    if (!context.session_id)
        return std::unexpected(model_label(kSessionModel) + " needs a session id");
    const std::string& id = *context.session_id;
    return Tensor{{static_cast<int64_t>(id.size())},
                  DType::String,
                  std::vector<uint8_t>(id.begin(), id.end())};
}

// Splits the input along its first dimension: one tensor per row with the remaining shape. A
// tensor without dimensions is a single row.
std::expected<std::vector<Tensor>, std::string> split_rows(uint32_t model_id, const Tensor& input) {
    if (input.shape.empty()) return std::vector<Tensor>{input};
    int64_t rows = input.shape.front();
    if (rows < 0 || rows > kMaxStreamRows) {
        return std::unexpected(model_label(model_id) + ": the first dimension must be 0 to " +
                               std::to_string(kMaxStreamRows) + ", not " + std::to_string(rows));
    }
    if (rows == 0 ? !input.data.empty() : input.data.size() % static_cast<size_t>(rows) != 0) {
        return std::unexpected(model_label(model_id) + ": " + std::to_string(input.data.size()) +
                               " bytes do not split into " + std::to_string(rows) + " rows");
    }
    std::vector<int64_t> row_shape(input.shape.begin() + 1, input.shape.end());
    size_t row_bytes = rows == 0 ? 0 : input.data.size() / static_cast<size_t>(rows);
    std::vector<Tensor> out;
    out.reserve(static_cast<size_t>(rows));
    for (int64_t i = 0; i < rows; ++i) {
        auto begin = input.data.begin() + static_cast<std::ptrdiff_t>(i * row_bytes);
        out.push_back(
            Tensor{row_shape, input.dtype,
                   std::vector<uint8_t>(begin, begin + static_cast<std::ptrdiff_t>(row_bytes))});
    }
    return out;
}

void stream_rows(uint32_t model_id, const Tensor& input, const FrameSink& sink) {
    auto rows = split_rows(model_id, input);
    if (!rows) {
        sink(rows.error());
        return;
    }
    for (size_t i = 0; i < rows->size(); ++i) {
        if (!sink(std::move((*rows)[i]))) return;
        if (model_id == kFlakyRowsModel && i == 0) {
            if (!sink(model_label(model_id) + ": a deliberate error after row 0")) return;
        }
    }
}

}  // namespace

void set_slow_echo_delay(std::chrono::milliseconds delay) {
    g_slow_echo_delay = delay;
}

std::string model_not_loaded(uint32_t model_id) {
    return "model " + std::to_string(model_id) + " is not loaded";
}

ModelKind model_kind(uint32_t model_id) {
    switch (model_id) {
        case kEchoModel:
        case kScaleModel:
        case kSoftmaxModel:
        case kSessionModel:
        case kSlowEchoModel:
            return ModelKind::Single;
        case kRowsModel:
        case kFlakyRowsModel:
            return ModelKind::Streaming;
        default:
            return ModelKind::Unknown;
    }
}

ModelOutput run_model(uint32_t model_id, Tensor input, const ModelContext& context) {
    switch (model_id) {
        case kEchoModel:
            return input;
        case kScaleModel:
            return scale(std::move(input));
        case kSoftmaxModel:
            return softmax(std::move(input));
        case kSessionModel:
            return session(context);
        case kSlowEchoModel:
            // Only this request's thread waits: the other connections go on being served.
            std::this_thread::sleep_for(g_slow_echo_delay);
            return input;
        case kRowsModel:
        case kFlakyRowsModel:
            return std::unexpected(model_label(model_id) +
                                   " is a streaming model: send it a stream request");
        default:
            return std::unexpected(model_not_loaded(model_id));
    }
}

void run_stream(uint32_t model_id, Tensor input, const ModelContext& context,
                const FrameSink& sink) {
    if (model_kind(model_id) == ModelKind::Streaming) {
        stream_rows(model_id, input, sink);
        return;
    }
    auto output = run_model(model_id, std::move(input), context);
    if (output) {
        sink(std::move(*output));
    } else {
        sink(std::move(output.error()));
    }
}

}  // namespace zelto::server
