#include "shm/shm_client.hpp"

#include <array>

#include "platform/clock.hpp"
#include "platform/cpu.hpp"
#include "shm/queue_entries.hpp"
#include "shm/ring_buffer.hpp"

namespace zelto::shm {

namespace {

EngineError error(EngineError::Type type, std::string message) {
    return EngineError{type, std::move(message)};
}

EngineError runtime_error(std::string message) {
    return error(EngineError::Type::RuntimeError, std::move(message));
}

}  // namespace

ShmClient::ShmClient(std::shared_ptr<ShmRegion> region, TensorPool pool)
    : region_(std::move(region)), pool_(std::move(pool)) {}

std::expected<ShmClient, EngineError> ShmClient::open(const std::string& shm_name,
                                                      const LogFn& log) {
    auto region = ShmRegion::open(shm_name, log);
    if (!region)
        return std::unexpected(error(EngineError::Type::ConnectionError, region.error().display()));
    auto pool =
        TensorPool::with_defaults((*region)->tensor_area_offset(), (*region)->tensor_area_size());
    return ShmClient(std::move(*region), std::move(pool));
}

std::expected<std::span<const uint8_t>, EngineError> ShmClient::infer(
    std::span<const int64_t> shape, std::string_view dtype, std::span<const uint8_t> data,
    const std::function<bool()>& check_signals) {
    const uint64_t id = next_request_id_++;

    // A TensorBlock has room for 8 dimensions; refuse more before anything is leased or written.
    if (shape.size() > kMaxDims) {
        return std::unexpected(error(EngineError::Type::ValueError,
                                     "Invalid input: tensor has " + std::to_string(shape.size()) +
                                         " dimensions, at most 8 are supported"));
    }

    const uint64_t required = uint64_t{data.size()} + kTensorBlockHeaderSize;
    auto slot = pool_.allocate(required);
    if (!slot) {
        return std::unexpected(runtime_error(pool_.exhausted_message(required)));
    }

    auto parsed = parse_dtype(dtype);
    if (!parsed) {
        pool_.release(*slot);
        return std::unexpected(error(EngineError::Type::ValueError, parsed.error().display()));
    }

    auto result = exchange(id, *slot, shape, *parsed, data, check_signals);
    pool_.release(*slot);
    return result;
}

// Writes the block, queues the request and waits for its response. The caller releases the slot.
std::expected<std::span<const uint8_t>, EngineError> ShmClient::exchange(
    uint64_t id, uint64_t slot, std::span<const int64_t> shape, DType dtype,
    std::span<const uint8_t> data, const std::function<bool()>& check_signals) {
    const ShmRegion& region = *region_;
    // The pool lies inside the tensor area, which lies inside the region (checked at attach),
    // and the slot is at least `required` bytes long, so the block fits.
    write_tensor_block(region.base() + slot, shape, dtype, data);

    RequestEntry request;
    request.request_id = id;
    request.timestamp_ns = platform::wall_clock_ns();
    request.tensor_offset = slot;
    request.tensor_size = uint64_t{data.size()} + kTensorBlockHeaderSize;
    auto encoded = request.encode();

    // The publish wait is bounded by the same time-out as the response: an earlier producer
    // that reserved a slot and died would otherwise hold this call forever.
    RingBuffer requests(region.base() + region.request_queue_offset(), kRequestEntrySize);
    switch (requests.push(encoded, platform::monotonic_now() + kResponseTimeout)) {
        case RingBuffer::PushResult::Ok:
            break;
        case RingBuffer::PushResult::Full:
            return std::unexpected(
                runtime_error(ShmError{ShmError::Kind::QueueFull, {}}.display()));
        case RingBuffer::PushResult::Stalled:
            return std::unexpected(
                runtime_error(ShmError{ShmError::Kind::QueueStalled, {}}.display()));
    }

    RingBuffer responses(region.base() + region.response_queue_offset(), kResponseEntrySize);
    std::array<uint8_t, kResponseEntrySize> raw{};
    const auto start = platform::monotonic_now();
    platform::MicroWait wait(
        platform::spin_for_payload(platform::MicroWait::kDefaultSpinPhase, data.size()));
    for (;;) {
        // One entry per round; an entry for another id is consumed and dropped.
        if (responses.pop(raw) && ResponseEntry::decode(raw.data()).request_id == id) break;
        auto elapsed =
            std::chrono::duration_cast<std::chrono::seconds>(platform::monotonic_now() - start);
        if (elapsed.count() > kResponseTimeout.count() - 1) {
            return std::unexpected(error(EngineError::Type::TimeoutError, "Request timed out"));
        }
        if (check_signals && !check_signals()) {
            return std::unexpected(error(EngineError::Type::SignalRaised, {}));
        }
        wait.pause();
    }

    ResponseEntry response = ResponseEntry::decode(raw.data());
    if (response.status == 0) {
        auto output = output_block_data(region, response.output_offset);
        if (!output) return std::unexpected(runtime_error(std::move(output.error())));
        return *output;
    }
    if (response.error_offset == 0) return std::unexpected(runtime_error("Unknown error"));
    auto text = read_error_text(region, response.error_offset);
    return std::unexpected(runtime_error(text ? std::move(*text) : std::move(text.error())));
}

}  // namespace zelto::shm
