#include "shm/request_steps.hpp"

#include "platform/clock.hpp"
#include "platform/cpu.hpp"
#include "platform/wait_policy.hpp"
#include "shm/queue_entries.hpp"

namespace zelto::shm {

using Clock = std::chrono::steady_clock;

namespace {

// How long the queue must stand still before a waiting producer asks why.
constexpr auto kStallCheck = std::chrono::milliseconds(100);

std::unexpected<Error> failure(ErrorKind kind, std::string message) {
    return std::unexpected(Error{kind, std::move(message)});
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

}  // namespace

RingBuffer request_queue(const ShmRegion& region) {
    return RingBuffer(region.base() + region.request_queue_offset(), kRequestEntrySize);
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

std::expected<RegionClients::Mailbox, Error> send_request(
    RegionAttachment& attachment, uint64_t id, SlotLease& slot, uint64_t data_size,
    std::chrono::steady_clock::time_point start, const platform::CallWait& wait) {
    const ShmRegion& region = attachment.region();
    RegionClients& clients = attachment.clients();
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
    if (auto stop =
            publish(attachment, requests, *reserved, start + ShmClient::kResponseTimeout, wait)) {
        // The entry is complete: whoever finds the queue held up by it publishes it, and the
        // server may then read the block, so the slot stays leased until its lease runs out.
        clients.abandoned(*reserved);
        slot.keep();
        if (*stop == platform::WaitStop::Interrupted) return std::unexpected(Error::stopped(*stop));
        return failure(ErrorKind::QueueBlocked, "Queue is stalled");
    }
    clients.idle();
    return std::move(*mailbox);
}

std::expected<OutputView, Error> read_answer(const ShmRegion& region,
                                             const std::array<uint8_t, kResponseEntrySize>& raw,
                                             SlotLease slot) {
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
