#include "shm/shm_client.hpp"

#include <array>
#include <thread>

#include "platform/clock.hpp"
#include "platform/cpu.hpp"
#include "platform/wait_policy.hpp"
#include "shm/queue_entries.hpp"
#include "shm/ring_buffer.hpp"
#include "transport/errors.hpp"

namespace zelto::shm {

namespace {

using Clock = std::chrono::steady_clock;

// The turn is held for the publish wait and the response wait, each bounded by the time-out,
// with a margin: a client that dies holding it keeps others out no longer than that (and no
// longer at all once its seat is seen empty).
constexpr auto kTurnHold = 2 * ShmClient::kResponseTimeout + std::chrono::seconds(1);

std::unexpected<Error> failure(ErrorKind kind, std::string message) {
    return std::unexpected(Error{kind, std::move(message)});
}

RingBuffer request_queue(const ShmRegion& region) {
    return RingBuffer(region.base() + region.request_queue_offset(), kRequestEntrySize);
}

// A request entry reserved and written but not yet published, left behind by a call that could
// not wait any longer for an earlier producer. Slots are published strictly in order, so
// leaving it unpublished would hold back every later request for good once that producer
// publishes. A thread of its own publishes it as soon as its turn comes (the server then
// answers an id nobody waits for, and the answer is dropped), checking less and less often.
void publish_when_due(std::shared_ptr<ShmRegion> region, uint64_t slot) {
    try {
        std::thread([region = std::move(region), slot] {
            RingBuffer requests = request_queue(*region);
            auto pause = std::chrono::milliseconds(1);
            while (!requests.try_publish(slot)) {
                std::this_thread::sleep_for(pause);
                pause = std::min<std::chrono::milliseconds>(pause * 2, std::chrono::seconds(1));
            }
        }).detach();
    } catch (...) {
        // No thread could be started: nothing else can publish the entry.
    }
}

// Waits until the entry in `slot` is published, that is until every producer that reserved an
// earlier slot has published its own. Spins briefly, then polls with short sleeps and the
// call's interruption checks, giving up at `deadline`.
std::optional<platform::WaitStop> publish(RingBuffer& requests, uint64_t slot,
                                          Clock::time_point deadline,
                                          const platform::CallWait& wait) {
    for (int i = 0; i < platform::kPublishSpins; ++i) {
        if (requests.try_publish(slot)) return std::nullopt;
        platform::spin_pause();
    }
    platform::MicroWait pause;
    auto next_check = Clock::now() + platform::kWaitSlice;
    for (;;) {
        if (requests.try_publish(slot)) return std::nullopt;
        const auto now = Clock::now();
        if (now >= deadline) return platform::WaitStop::TimedOut;
        if (now >= next_check) {
            if (wait.must_stop()) return platform::WaitStop::Interrupted;
            next_check = now + platform::kWaitSlice;
        }
        pause.pause();
    }
}

}  // namespace

std::expected<ShmClient, Error> ShmClient::open(const std::string& shm_name, const LogFn& log) {
    auto attachment = RegionAttachment::open(shm_name, log);
    if (!attachment) return std::unexpected(attachment.error());
    return ShmClient(std::move(*attachment));
}

std::expected<OutputView, Error> ShmClient::infer(std::span<const int64_t> shape,
                                                  std::string_view dtype,
                                                  std::span<const uint8_t> data,
                                                  const platform::CallWait& wait) {
    if (auto refused = attachment_.refuse_in_other_process()) return std::unexpected(*refused);
    const uint64_t id = attachment_.take_request_id();
    auto slot = attachment_.place_input(shape, dtype, data);
    if (!slot) return std::unexpected(slot.error());
    // The slot is released when `slot` goes, after the exchange, whichever way it ended.
    return exchange(id, *slot, data.size(), wait);
}

// Queues the request whose block lies in `slot` and waits for its response.
std::expected<OutputView, Error> ShmClient::exchange(uint64_t id, const SlotLease& slot,
                                                     uint64_t data_size,
                                                     const platform::CallWait& wait) {
    const ShmRegion& region = attachment_.region();
    // One shared-memory exchange at a time among the region's clients: a client polling the
    // response queue consumes every entry it finds, so two polling at once would take each
    // other's answers.
    std::optional<RegionClients::Turn> turn;
    if (RegionClients* clients = attachment_.clients()) {
        auto taken = clients->take_turn(wait, Clock::now() + kResponseTimeout, kTurnHold);
        if (!taken) return std::unexpected(Error::stopped(taken.error()));
        turn.emplace(std::move(*taken));
    }

    RequestEntry request;
    request.request_id = id;
    request.timestamp_ns = platform::wall_clock_ns();
    request.tensor_offset = slot.offset();
    request.tensor_size = data_size + kTensorBlockHeaderSize;

    RingBuffer requests = request_queue(region);
    auto reserved = requests.reserve();
    if (!reserved) return failure(ErrorKind::QueueBlocked, "Queue is full");
    requests.write_slot(*reserved, request.encode());
    // The publish wait is bounded by the same time-out as the response: an earlier producer
    // that reserved a slot and died would otherwise hold this call forever.
    if (auto stop = publish(requests, *reserved, Clock::now() + kResponseTimeout, wait)) {
        publish_when_due(attachment_.shared_region(), *reserved);
        if (*stop == platform::WaitStop::Interrupted) return std::unexpected(Error::stopped(*stop));
        return failure(ErrorKind::QueueBlocked, "Queue is stalled");
    }

    RingBuffer responses(region.base() + region.response_queue_offset(), kResponseEntrySize);
    std::array<uint8_t, kResponseEntrySize> raw{};
    const auto start = platform::monotonic_now();
    platform::MicroWait pause(
        platform::spin_for_payload(platform::MicroWait::kDefaultSpinPhase, data_size));
    for (;;) {
        // One entry per round; an entry for another id is consumed and dropped.
        if (responses.pop(raw) && ResponseEntry::decode(raw.data()).request_id == id) break;
        auto elapsed =
            std::chrono::duration_cast<std::chrono::seconds>(platform::monotonic_now() - start);
        if (elapsed.count() > kResponseTimeout.count() - 1) {
            return std::unexpected(Error::stopped(platform::WaitStop::TimedOut));
        }
        if (wait.must_stop()) {
            return std::unexpected(Error::stopped(platform::WaitStop::Interrupted));
        }
        pause.pause();
    }

    ResponseEntry response = ResponseEntry::decode(raw.data());
    if (response.status == 0) {
        auto output = output_block_data(region, response.output_offset);
        if (!output) return failure(ErrorKind::Codec, std::move(output.error()));
        // The turn stays with the answer until the caller has copied the block out.
        return OutputView(*output, std::move(turn));
    }
    if (response.error_offset == 0) return failure(ErrorKind::Server, "Unknown error");
    auto text = read_error_text(region, response.error_offset);
    if (!text) return failure(ErrorKind::Codec, std::move(text.error()));
    return failure(ErrorKind::Server, std::move(*text));
}

}  // namespace zelto::shm
