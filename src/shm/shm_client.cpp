#include "shm/shm_client.hpp"

#include <array>

#include "platform/clock.hpp"
#include "platform/wait_policy.hpp"
#include "shm/request_steps.hpp"
#include "shm/ring_buffer.hpp"
#include "transport/debug_notes.hpp"
#include "transport/errors.hpp"

namespace zelto::shm {

using Clock = std::chrono::steady_clock;

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
    return read_answer(attachment_.region(), answer, std::move(*slot));
}

// Queues the request whose block lies in `slot` and waits for its response.
std::expected<ShmClient::Sent, Error> ShmClient::exchange(
    uint64_t id, SlotLease& slot, uint64_t data_size, Clock::time_point start,
    std::optional<RegionAttachment>* replacement, const platform::CallWait& wait,
    std::array<uint8_t, kResponseEntrySize>& answer) {
    const ShmRegion& region = attachment_.region();
    RegionClients& clients = attachment_.clients();
    auto mailbox = send_request(attachment_, id, slot, data_size, start, wait);
    if (!mailbox) return std::unexpected(std::move(mailbox.error()));

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

}  // namespace zelto::shm
