#include "shm/shm_client.hpp"

#include <array>

#include "platform/clock.hpp"
#include "platform/cpu.hpp"
#include "platform/wait_policy.hpp"
#include "shm/queue_entries.hpp"
#include "shm/ring_buffer.hpp"
#include "transport/debug_notes.hpp"
#include "transport/errors.hpp"

namespace zelto::shm {

namespace {

using Clock = std::chrono::steady_clock;

// How long the queue must stand still before a waiting producer asks why.
constexpr auto kStallCheck = std::chrono::milliseconds(100);

std::unexpected<Error> failure(ErrorKind kind, std::string message) {
    return std::unexpected(Error{kind, std::move(message)});
}

RingBuffer request_queue(const ShmRegion& region) {
    return RingBuffer(region.base() + region.request_queue_offset(), kRequestEntrySize);
}

// Publishes `slot`, which holds the queue up, when its producer abandoned it or died: an
// abandoned entry as it is, a dead producer's as an empty request with id 0 that nobody waits
// for (the server answers it, and the answer is dropped), so the queue moves on.
void publish_stalled(RegionAttachment& attachment, RingBuffer& requests, uint64_t slot) {
    // The index comes from the region: one out of range addresses no slot.
    if (slot >= RingBuffer::kCapacity) return;
    // The stand-in's empty block is leased before any claim is made, so a claim is always kept.
    auto empty = attachment.place_input({}, "uint8", {});
    if (!empty) return;
    switch (attachment.clients().claim_stalled(slot)) {
        case RegionClients::Stall::Wait:
            return;
        case RegionClients::Stall::PublishAsIs:
            break;
        case RegionClients::Stall::PublishEmpty: {
            RequestEntry stand_in;
            stand_in.request_id = 0;
            stand_in.timestamp_ns = platform::wall_clock_ns();
            stand_in.tensor_offset = empty->offset();
            stand_in.tensor_size = kTensorBlockHeaderSize;
            requests.write_slot(slot, stand_in.encode());
            // The server reads the block whenever it gets to the entry: the lease runs out.
            empty->keep();
            break;
        }
    }
    (void)requests.try_publish(slot);
}

// Waits until the entry in `slot` is published, that is until every producer that reserved an
// earlier slot has published its own. Spins briefly, then polls with short sleeps and the
// call's interruption checks, giving up at `deadline`. A queue that stands still is looked at
// every kStallCheck: an entry ahead whose producer abandoned it or died is published here.
std::optional<platform::WaitStop> publish(RegionAttachment& attachment, RingBuffer& requests,
                                          uint64_t slot, Clock::time_point deadline,
                                          const platform::CallWait& wait) {
    for (int i = 0; i < platform::kPublishSpins; ++i) {
        if (requests.try_publish(slot)) return std::nullopt;
        platform::spin_pause();
    }
    platform::MicroWait pause;
    auto next_stall_check = Clock::now() + kStallCheck;
    // Each slice polls round by round until it ends, so the stop check runs once per slice
    // rather than once per round.
    return platform::wait_in_slices(wait, [&](platform::WaitSlice& slice) {
        const auto slice_end = slice.end();
        for (;;) {
            if (requests.try_publish(slot)) return platform::SliceResult::Done;
            const auto now = Clock::now();
            if (now >= deadline) return platform::SliceResult::TimedOut;
            if (now >= slice_end) return platform::SliceResult::NotYet;
            if (now >= next_stall_check) {
                const uint64_t blocking = requests.committed();
                if (blocking != slot) publish_stalled(attachment, requests, blocking);
                next_stall_check = now + kStallCheck;
            }
            pause.pause();
        }
    });
}

uint64_t response_id(const std::array<uint8_t, kResponseEntrySize>& raw) {
    return ResponseEntry::decode(raw.data()).request_id;
}

}  // namespace

// The call's error, noted for the debug log when it is a time-out.
std::unexpected<Error> ShmClient::timed_out_noted(uint64_t id, Error error) const {
    if (error.kind == ErrorKind::TimedOut)
        debug_notes::note("request " + std::to_string(id) + " on region '" +
                          attachment_.region().name() + "' timed out");
    return std::unexpected(std::move(error));
}

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
    const auto start = platform::monotonic_now();
    uint64_t id = attachment_.take_request_id();
    std::optional<SlotLease> slot;
    if (auto placed = attachment_.place_input(shape, dtype, data)) {
        slot.emplace(std::move(*placed));
    } else {
        return std::unexpected(std::move(placed.error()));
    }
    std::array<uint8_t, kResponseEntrySize> answer{};
    std::optional<RegionAttachment> replacement;
    auto sent = exchange(id, *slot, data.size(), start, &replacement, wait, answer);
    if (!sent) return timed_out_noted(id, std::move(sent.error()));
    if (*sent == Sent::Replaced) {
        // The server restarted with a new region: send the request there, once. Nothing of the
        // old mapping is used from here on.
        slot.reset();
        // The old attachment is dropped whole, its pool before the seat that holds its leases.
        (void)std::exchange(attachment_, std::move(*replacement));
        debug_notes::note("region '" + attachment_.region().name() +
                          "' was made anew by a restarted server: attached to the new one");
        id = attachment_.take_request_id();
        if (auto placed = attachment_.place_input(shape, dtype, data)) {
            slot.emplace(std::move(*placed));
        } else {
            return std::unexpected(std::move(placed.error()));
        }
        sent = exchange(id, *slot, data.size(), start, nullptr, wait, answer);
        if (!sent) return timed_out_noted(id, std::move(sent.error()));
    }
    return read_answer(answer, std::move(*slot));
}

// Queues the request whose block lies in `slot` and waits for its response.
std::expected<ShmClient::Sent, Error> ShmClient::exchange(
    uint64_t id, SlotLease& slot, uint64_t data_size, Clock::time_point start,
    std::optional<RegionAttachment>* replacement, const platform::CallWait& wait,
    std::array<uint8_t, kResponseEntrySize>& answer) {
    const ShmRegion& region = attachment_.region();
    RegionClients& clients = attachment_.clients();
    // Registered before the request is queued: from then on, whichever client pops the answer
    // hands it over.
    auto mailbox = clients.open_mailbox(id);
    if (!mailbox) return failure(ErrorKind::QueueBlocked, "Queue is full");

    RequestEntry request;
    request.request_id = id;
    request.timestamp_ns = platform::wall_clock_ns();
    request.tensor_offset = slot.offset();
    request.tensor_size = data_size + kTensorBlockHeaderSize;

    RingBuffer requests = request_queue(region);
    clients.reserving();
    auto reserved = requests.reserve();
    if (!reserved) {
        clients.idle();
        return failure(ErrorKind::QueueBlocked, "Queue is full");
    }
    clients.reserved(*reserved);
    requests.write_slot(*reserved, request.encode());
    // The publish wait is bounded by the same time-out as the response: an earlier producer
    // that is stuck would otherwise hold this call forever.
    if (auto stop = publish(attachment_, requests, *reserved, start + kResponseTimeout, wait)) {
        // The entry is complete: whoever finds the queue held up by it publishes it, and the
        // server may then read the block, so the slot stays leased until its lease runs out.
        clients.abandoned(*reserved);
        slot.keep();
        if (*stop == platform::WaitStop::Interrupted) return std::unexpected(Error::stopped(*stop));
        return failure(ErrorKind::QueueBlocked, "Queue is stalled");
    }
    clients.idle();

    RingBuffer responses(region.base() + region.response_queue_offset(), kResponseEntrySize);
    platform::MicroWait pause(
        platform::spin_for_payload(platform::MicroWait::kDefaultSpinPhase, data_size));
    auto next_region_check = start + kReattachCheck;
    // One entry per round: this request's answer ends the wait, another client's goes to its
    // mailbox (or nowhere, when nobody waits for it any more).
    auto answered = [&] {
        if (responses.pop(answer)) {
            if (response_id(answer) == id) return true;
            (void)clients.deliver(answer);
        }
        if (auto delivered = mailbox->delivered()) {
            answer = *delivered;
            return true;
        }
        return false;
    };
    if (answered()) return Sent::Answered;
    // Each slice is one round: an answer is taken as soon as it is there, and the stop check
    // runs after every round.
    bool replaced = false;
    const auto stop = platform::wait_in_slices(wait, [&](platform::WaitSlice& slice) {
        const auto now = slice.now();
        auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - start);
        if (elapsed.count() > kResponseTimeout.count() - 1) return platform::SliceResult::TimedOut;
        if (replacement != nullptr && now >= next_region_check) {
            // A new region that cannot be attached yet (its server is still making it) is
            // tried again at the next check.
            if (attachment_.replaced()) {
                // No attach record: the call may run without the interpreter lock, and the
                // log receiver is Python's.
                if (auto fresh = RegionAttachment::open(region.name(), {})) {
                    replacement->emplace(std::move(*fresh));
                    replaced = true;
                    return platform::SliceResult::Done;
                }
            }
            next_region_check = now + kReattachCheck;
        }
        pause.pause();
        // An answer taken from the queue is settled: the call returns it.
        return answered() ? platform::SliceResult::Done : platform::SliceResult::NotYet;
    });
    if (stop) return std::unexpected(Error::stopped(*stop));
    return replaced ? Sent::Replaced : Sent::Answered;
}

std::expected<OutputView, Error> ShmClient::read_answer(
    const std::array<uint8_t, kResponseEntrySize>& raw, SlotLease slot) const {
    const ShmRegion& region = attachment_.region();
    ResponseEntry response = ResponseEntry::decode(raw.data());
    if (response.status == 0) {
        auto output = output_block_data(region, response.output_offset);
        if (!output) return failure(ErrorKind::Codec, std::move(output.error()));
        // The slot stays leased until the caller has copied the block out.
        return OutputView(*output, std::move(slot));
    }
    if (response.error_offset == 0) return failure(ErrorKind::Server, "Unknown error");
    auto text = read_error_text(region, response.error_offset);
    if (!text) return failure(ErrorKind::Codec, std::move(text.error()));
    return failure(ErrorKind::Server, std::move(*text));
}

}  // namespace zelto::shm
