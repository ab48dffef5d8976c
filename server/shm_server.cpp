#include "shm_server.hpp"

#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstring>
#include <thread>

#include "models.hpp"
#include "platform/clock.hpp"
#include "platform/cpu.hpp"
#include "platform/precise_sleep.hpp"
#include "platform/wait_policy.hpp"
#include "shm/little_endian.hpp"
#include "shm/queue_entries.hpp"
#include "shm/region_clients.hpp"
#include "shm/ring_buffer.hpp"

namespace zelto::server {
namespace {

using namespace std::chrono_literals;
using shm::RingBuffer;

constexpr uint64_t kPage = 4096;
constexpr uint64_t kRequestQueueOffset = 64;
constexpr uint64_t kResponseQueueOffset =
    kRequestQueueOffset + shm::kQueueCells * shm::kRequestEntrySize;
constexpr uint64_t kQueuesEnd = kResponseQueueOffset + shm::kQueueCells * shm::kResponseEntrySize;
constexpr uint64_t kMinOutputArea = 64 * 1024;
constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusError = 1;

using Poll = platform::ShmServerPoll;

// How long an answer waits for room in the response queue before it is dropped: a client waits
// no longer than that for it.
constexpr auto kResponseDeadline = 6s;

// A whole decimal number in [min, max], or none.
std::optional<uint64_t> parse_number(std::string_view text, uint64_t min, uint64_t max) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

uint64_t round_up(uint64_t value, uint64_t to) {
    return (value + to - 1) / to * to;
}

std::expected<DType, std::string> dtype_from_code(uint8_t code) {
    switch (code) {
        case 0:
            return DType::Float32;
        case 1:
            return DType::Float64;
        case 2:
            return DType::Int32;
        case 3:
            return DType::Int64;
        default:
            return std::unexpected("unknown dtype code " + std::to_string(code));
    }
}

class ShmService final : public Service {
public:
    ShmService(std::shared_ptr<ServerRegion> region, uint32_t default_model)
        : region_(std::move(region)), default_model_(default_model), thread_([this] { run(); }) {}

    ~ShmService() override {
        if (thread_.joinable()) stop();
    }

    void stop() override {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        region_->unlink();
    }

private:
    RingBuffer requests() const {
        return RingBuffer(region_->base() + region_->layout().request_queue_offset,
                          shm::kRequestEntrySize);
    }
    RingBuffer responses() const {
        return RingBuffer(region_->base() + region_->layout().response_queue_offset,
                          shm::kResponseEntrySize);
    }

    void run() {
        // The idle sleeps of this thread should last what they ask for, not 50 us more (or, on
        // Windows, a millisecond or more).
        platform::PreciseSleep sleeper;
        std::array<uint8_t, shm::kRequestEntrySize> raw{};
        auto last_work = platform::monotonic_now();
        while (!stop_.load(std::memory_order_relaxed)) {
            if (requests().pop(raw)) {
                serve(shm::RequestEntry::decode(raw.data()), sleeper);
                last_work = platform::monotonic_now();
                continue;
            }
            auto idle = platform::monotonic_now() - last_work;
            if (idle < Poll::kSpinAfterWork) {
                for (int i = 0; i < Poll::kSpinBurst; ++i) platform::spin_pause();
            } else {
                sleeper.sleep_for(idle < Poll::kLongSleepAfter ? Poll::kShortSleep
                                                               : Poll::kLongSleep);
            }
        }
    }

    void serve(const shm::RequestEntry& request, platform::PreciseSleep& sleeper) {
        shm::ResponseEntry response{request.request_id, kStatusOk, 0, 0};
        auto output = answer(request);
        if (output) {
            response.output_offset = *output;
        } else {
            response.status = kStatusError;
            response.error_offset = region_->place_error_text(output.error());
        }
        respond(response, sleeper);
    }

    std::expected<uint64_t, std::string> answer(const shm::RequestEntry& request) {
        auto input = region_->read_input(request.tensor_offset, request.tensor_size);
        if (!input) return std::unexpected(input.error());
        uint32_t model = request.param_code != 0 ? request.param_code : default_model_;
        auto output = run_model(model, std::move(*input));
        if (!output) return std::unexpected(output.error());
        return region_->place_output(*output);
    }

    void respond(const shm::ResponseEntry& response, platform::PreciseSleep& sleeper) {
        auto bytes = response.encode();
        auto deadline = platform::monotonic_now() + kResponseDeadline;
        while (!stop_.load(std::memory_order_relaxed)) {
            switch (responses().push(bytes, deadline)) {
                case RingBuffer::PushResult::Ok:
                case RingBuffer::PushResult::Stalled:
                    return;  // a stalled queue drops it
                case RingBuffer::PushResult::Full:
                    break;
            }
            if (platform::monotonic_now() >= deadline) return;  // nobody is reading
            sleeper.sleep_for(Poll::kShortSleep);
        }
    }

    std::shared_ptr<ServerRegion> region_;
    uint32_t default_model_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

std::expected<std::shared_ptr<ServerRegion>, std::string> ServerRegion::create(
    std::string name, uint64_t tensor_area) {
    const uint64_t tensor_offset = round_up(kQueuesEnd, kPage);
    const uint64_t output_size = round_up(std::max(tensor_area, kMinOutputArea), kPage);
    if (tensor_area > kMaxTensorArea) {
        return std::unexpected("tensor area of " + std::to_string(tensor_area) +
                               " bytes is too large");
    }
    const uint64_t output_offset = tensor_offset + round_up(tensor_area, kPage);
    // The region is reserved whole as it is made: a server whose region cannot be backed
    // refuses to start, instead of dying on a write into it once the file system fills up.
    const uint64_t region_size = output_offset + output_size;
    auto mapping = platform::SharedMapping::create(name, region_size, true);
    if (!mapping && mapping.error().kind == platform::SharedMemoryError::Kind::Reserve) {
        return std::unexpected("cannot reserve the " + std::to_string(region_size) +
                               " bytes of shared memory region '" + name +
                               "': " + platform::os_error(mapping.error().os_errno).message);
    }
    if (!mapping) {
        return std::unexpected("cannot create shared memory region '" + name +
                               "': " + mapping.error().message());
    }
    shm::RegionLayout layout{kRequestQueueOffset, kResponseQueueOffset, tensor_offset, tensor_area};
    RingBuffer(mapping->base() + kRequestQueueOffset, shm::kRequestEntrySize).initialize();
    RingBuffer(mapping->base() + kResponseQueueOffset, shm::kResponseEntrySize).initialize();
    // The header goes last: a client that attaches early sees a bad magic, not half a region.
    shm::write_region_header(mapping->base(), layout);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    return std::shared_ptr<ServerRegion>(
        new ServerRegion(std::move(name), std::move(*mapping), layout, output_offset, output_size));
}

ServerRegion::ServerRegion(std::string name, platform::SharedMapping mapping,
                           shm::RegionLayout layout, uint64_t output_offset, uint64_t output_size)
    : name_(std::move(name)),
      mapping_(std::move(mapping)),
      layout_(layout),
      output_offset_(output_offset),
      output_size_(output_size) {}

ServerRegion::~ServerRegion() {
    unlink();
}

void ServerRegion::unlink() {
    std::call_once(unlinked_, [this] {
        platform::SharedMapping::unlink(name_);
        // The clients' own object goes with the region: a new region of this name starts afresh.
        shm::RegionClients::remove(name_);
    });
}

std::optional<uint64_t> ServerRegion::reserve_output(uint64_t length) {
    length = round_up(length, 8);  // keep blocks 8-byte aligned
    if (length > output_size_) return std::nullopt;
    if (length > output_size_ - output_next_) output_next_ = 0;
    uint64_t offset = output_offset_ + output_next_;
    output_next_ += length;
    return offset;
}

std::expected<uint64_t, std::string> ServerRegion::place_output(const Tensor& output) {
    const uint64_t length = shm::kTensorBlockHeaderSize + output.data.size();
    if (output.shape.size() > shm::kMaxDims) {
        return std::unexpected("output has " + std::to_string(output.shape.size()) +
                               " dimensions, at most 8 fit in a tensor block");
    }
    std::lock_guard lock(output_mutex_);
    auto offset = reserve_output(length);
    if (!offset) {
        return std::unexpected("output of " + std::to_string(length) +
                               " bytes does not fit in the output area of " +
                               std::to_string(output_size_) + " bytes");
    }
    shm::write_tensor_block(base() + *offset, output.shape, output.dtype, output.data);
    return *offset;
}

uint64_t ServerRegion::place_error_text(std::string_view text) {
    std::lock_guard lock(output_mutex_);
    auto offset = reserve_output(8 + uint64_t{text.size()});
    if (!offset) return 0;
    shm::store_le<uint64_t>(base() + *offset, text.size());
    if (!text.empty()) std::memcpy(base() + *offset + 8, text.data(), text.size());
    return *offset;
}

std::expected<Tensor, std::string> ServerRegion::read_input(uint64_t offset, uint64_t size) const {
    auto block = shm::view_tensor_block(bytes(), offset);
    if (!block) return std::unexpected("bad request: " + block.error());
    if (shm::kTensorBlockHeaderSize + block->data.size() > size) {
        return std::unexpected("bad request: tensor block of " +
                               std::to_string(shm::kTensorBlockHeaderSize + block->data.size()) +
                               " bytes is larger than the announced " + std::to_string(size));
    }
    auto dtype = dtype_from_code(block->dtype_code);
    if (!dtype) return std::unexpected("bad request: " + dtype.error());
    return Tensor{std::move(block->shape), *dtype,
                  std::vector<uint8_t>(block->data.begin(), block->data.end())};
}

StartResult start_shm_service(std::shared_ptr<ServerRegion> region, uint32_t default_model) {
    std::string name = region->name();
    auto service = std::make_unique<ShmService>(std::move(region), default_model);
    announce("listening on shm " + name);
    return service;
}

std::expected<std::shared_ptr<ServerRegion>, std::string> create_server_region(
    const std::string& name, const std::optional<std::string>& tensor_area) {
    uint64_t bytes = kDefaultTensorArea;
    if (tensor_area) {
        auto parsed = parse_number(*tensor_area, 0, kMaxTensorArea);
        if (!parsed)
            return std::unexpected("--tensor-area needs a number of bytes up to " +
                                   std::to_string(kMaxTensorArea) + ", not " + *tensor_area);
        bytes = *parsed;
    }
    return ServerRegion::create(name, bytes);
}

StartResult start_shm_service(std::shared_ptr<ServerRegion> region,
                              const std::optional<std::string>& model) {
    uint64_t id = kEchoModel;
    if (model) {
        auto parsed = parse_number(*model, 1, UINT32_MAX);
        if (!parsed) return std::unexpected("--shm-model needs a model id from 1, not " + *model);
        id = *parsed;
    }
    return start_shm_service(std::move(region), static_cast<uint32_t>(id));
}

}  // namespace zelto::server
