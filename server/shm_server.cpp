#include "shm_server.hpp"

#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>
#include <vector>

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
constexpr uint64_t kMaxWorkers = 1024;
constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusError = 1;
// The fixed "output area full" text block at the start of the output area: u64 length + text,
// rounded up to keep the blocks after it 8-byte aligned.
constexpr uint64_t kFullTextBlock = (8 + kOutputAreaFull.size() + 7) / 8 * 8;

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

// How long the poller may serve one request before a parked worker takes over polling, and how
// often that is checked (less often once the server has been idle for a while).
constexpr auto kTakeOver = 1ms;
constexpr auto kWatchBusy = 1ms;
constexpr auto kWatchIdle = 20ms;
constexpr auto kIdleAfter = 1s;

// Workers take turns at polling the request queue, and the poller serves what it pops itself:
// handing each request to another thread would cost a thread wake-up (tens of microseconds) on
// every request, several times what a small request costs today. When the poller has served one
// request for longer than kTakeOver, the watcher gives the poll role to a parked worker, so a
// slow model holds up only its own caller and up to `workers` requests run at once. A worker
// whose role was given away while it served parks when it is done. The queue's pop is safe for
// several consumers, so a moment with two pollers is harmless.
class ShmService final : public Service {
public:
    ShmService(std::shared_ptr<ServerRegion> region, uint32_t default_model, size_t workers)
        : region_(std::move(region)), default_model_(default_model) {
        for (size_t i = 0; i < std::max<size_t>(workers, 1); ++i) {
            workers_.emplace_back([this] { work(); });
        }
        if (workers_.size() > 1) watcher_ = std::thread([this] { watch(); });
    }

    ~ShmService() override {
        if (!stopped_) stop();
    }

    void stop() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        role_free_.notify_all();
        stopping_.notify_all();
        for (auto& worker : workers_) worker.join();
        if (watcher_.joinable()) watcher_.join();
        stopped_ = true;
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

    void work() {
        // The idle sleeps of a poller should last what they ask for, not 50 us more (or, on
        // Windows, a millisecond or more).
        platform::PreciseSleep sleeper;
        for (;;) {
            uint64_t turn = 0;
            {
                std::unique_lock lock(mutex_);
                role_free_.wait(lock, [&] { return stop_.load() || !role_taken_; });
                if (stop_) return;
                role_taken_ = true;
                turn = role_turn_.fetch_add(1) + 1;
            }
            poll(turn, sleeper);
            if (stop_) return;
        }
    }

    // Polls while this worker holds the poll role `turn`, serving what it pops.
    void poll(uint64_t turn, platform::PreciseSleep& sleeper) {
        std::array<uint8_t, shm::kRequestEntrySize> raw{};
        // A new poller starts with short sleeps, not spinning: the worker it took over from may
        // still be serving beside it, and a spin would take a processor from that work.
        auto last_work = platform::monotonic_now() - Poll::kSpinAfterWork;
        while (!stop_.load(std::memory_order_relaxed)) {
            if (requests().pop(raw)) {
                begin_serving(turn);
                serve(shm::RequestEntry::decode(raw.data()), sleeper);
                if (!end_serving(turn)) return;
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

    // Marks the request of the poller with role `turn` in service. Atomics only: the answer's
    // latency pays for this.
    void begin_serving(uint64_t turn) {
        begun_.fetch_add(1, std::memory_order_relaxed);
        serving_turn_.store(turn, std::memory_order_release);
    }

    // False when the poll role was given to another worker meanwhile. Only the mark of this
    // role is cleared: a worker that lost the role must not clear its successor's.
    bool end_serving(uint64_t turn) {
        uint64_t mine = turn;
        serving_turn_.compare_exchange_strong(mine, 0);
        return role_turn_.load() == turn;
    }

    // Every kWatchBusy (kWatchIdle once no request has begun for kIdleAfter), looks at the
    // poller: one that has been serving the same request since the look before, so for at least
    // kTakeOver, has its poll role given to a parked worker.
    void watch() {
        static_assert(kTakeOver <= kWatchBusy);
        std::unique_lock lock(mutex_);
        uint64_t seen = begun_.load();
        uint64_t seen_serving = 0;  // the role whose request was in service at the last look
        auto last_change = platform::monotonic_now();
        while (!stop_) {
            auto now = platform::monotonic_now();
            stopping_.wait_for(lock, now - last_change < kIdleAfter ? kWatchBusy : kWatchIdle);
            now = platform::monotonic_now();
            const uint64_t begun = begun_.load();
            const uint64_t serving = serving_turn_.load(std::memory_order_acquire);
            if (begun != seen) {
                seen = begun;
                last_change = now;
            } else if (role_taken_ && serving != 0 && serving == seen_serving &&
                       serving == role_turn_.load()) {
                role_taken_ = false;
                role_turn_.fetch_add(1);
                role_free_.notify_one();
            }
            seen_serving = serving;
        }
    }

    void serve(const shm::RequestEntry& request, platform::PreciseSleep& sleeper) {
        shm::ResponseEntry response{request.request_id, kStatusOk, 0, 0};
        auto output = answer(request);
        if (output) {
            response.output_offset = *output;
        } else {
            response.status = kStatusError;
            response.error_offset =
                region_->place_error_text(output.error(), request.tensor_offset);
        }
        respond(response, sleeper);
    }

    // The answer's block is leased to the request's input block: the client keeps that block
    // until it has read the answer, and its next request naming it ends the lease.
    std::expected<uint64_t, std::string> answer(const shm::RequestEntry& request) {
        auto input = region_->read_input(request.tensor_offset, request.tensor_size);
        if (!input) return std::unexpected(input.error());
        uint32_t model = request.param_code != 0 ? request.param_code : default_model_;
        auto output = run_model(model, std::move(*input));
        if (!output) return std::unexpected(output.error());
        return region_->place_output(*output, request.tensor_offset);
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
    bool stopped_ = false;
    // The poll role, guarded by mutex_.
    std::mutex mutex_;
    std::condition_variable role_free_;  // parked workers wait for the role
    std::condition_variable stopping_;   // wakes the watcher at stop
    bool role_taken_ = false;
    std::atomic<uint64_t> role_turn_{0};     // grows each time the role changes hands
    std::atomic<uint64_t> begun_{0};         // requests the pollers have begun to serve
    std::atomic<uint64_t> serving_turn_{0};  // the role whose poller serves a request, or 0
    std::vector<std::thread> workers_;
    std::thread watcher_;
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
      output_size_(output_size),
      blocks_offset_(output_offset + kFullTextBlock),
      output_area_(output_size - kFullTextBlock) {
    place_full_text();
}

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

void ServerRegion::place_full_text() {
    shm::store_le<uint64_t>(base() + output_offset_, kOutputAreaFull.size());
    std::memcpy(base() + output_offset_ + 8, kOutputAreaFull.data(), kOutputAreaFull.size());
}

std::optional<uint64_t> ServerRegion::take_block(uint64_t length,
                                                 std::optional<uint64_t> input_offset) {
    auto block = input_offset ? output_area_.allocate_for(length, *input_offset)
                              : output_area_.allocate(length);
    if (!block) return std::nullopt;
    return blocks_offset_ + *block;
}

std::expected<uint64_t, std::string> ServerRegion::place_output(
    const Tensor& output, std::optional<uint64_t> input_offset) {
    const uint64_t length = shm::kTensorBlockHeaderSize + output.data.size();
    std::optional<std::string> refused;
    if (output.shape.size() > shm::kMaxDims) {
        refused = "output has " + std::to_string(output.shape.size()) +
                  " dimensions, at most 8 fit in a tensor block";
    } else if (length > output_area_.size()) {
        refused = "output of " + std::to_string(length) +
                  " bytes does not fit in the output area of " +
                  std::to_string(output_area_.size()) + " bytes";
    }
    if (refused) {
        // The request's input block still tells that its earlier answers were read.
        if (input_offset) inputs_read(*input_offset);
        return std::unexpected(std::move(*refused));
    }
    auto offset = take_block(length, input_offset);
    if (!offset) return std::unexpected(std::string(kOutputAreaFull));
    shm::write_tensor_block(base() + *offset, output.shape, output.dtype, output.data);
    if (input_offset) lease_output(*offset, *input_offset);
    return *offset;
}

uint64_t ServerRegion::place_error_text(std::string_view text,
                                        std::optional<uint64_t> input_offset) {
    if (text == kOutputAreaFull) {
        if (input_offset) inputs_read(*input_offset);
        return output_offset_;
    }
    auto offset = take_block(8 + text.size(), input_offset);
    if (!offset) return output_offset_;
    shm::store_le<uint64_t>(base() + *offset, text.size());
    if (!text.empty()) std::memcpy(base() + *offset + 8, text.data(), text.size());
    if (input_offset) lease_output(*offset, *input_offset);
    return *offset;
}

void ServerRegion::release_output(uint64_t offset) {
    if (offset >= blocks_offset_) output_area_.free(offset - blocks_offset_);
}

void ServerRegion::lease_output(uint64_t offset, uint64_t input_offset) {
    output_area_.lease(offset - blocks_offset_, input_offset);
}

void ServerRegion::inputs_read(uint64_t input_offset) {
    output_area_.end_leases(input_offset);
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

StartResult start_shm_service(std::shared_ptr<ServerRegion> region, uint32_t default_model,
                              size_t workers) {
    std::string name = region->name();
    auto service = std::make_unique<ShmService>(std::move(region), default_model, workers);
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
                              const std::optional<std::string>& model,
                              const std::optional<std::string>& workers) {
    uint64_t id = kEchoModel;
    if (model) {
        auto parsed = parse_number(*model, 1, UINT32_MAX);
        if (!parsed) return std::unexpected("--shm-model needs a model id from 1, not " + *model);
        id = *parsed;
    }
    uint64_t threads = platform::available_processors();
    if (workers) {
        auto parsed = parse_number(*workers, 1, kMaxWorkers);
        if (!parsed)
            return std::unexpected("--workers needs a number of threads from 1 to " +
                                   std::to_string(kMaxWorkers) + ", not " + *workers);
        threads = *parsed;
    }
    return start_shm_service(std::move(region), static_cast<uint32_t>(id), threads);
}

}  // namespace zelto::server
