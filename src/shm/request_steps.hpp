// The steps of one shared-memory request, for the drivers that wait in their own way: the
// blocking client (ShmClient) and the asyncio clients' poller.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>

#include "platform/call_wait.hpp"
#include "shm/attachment.hpp"
#include "shm/output_view.hpp"
#include "shm/region_clients.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_client.hpp"
#include "transport/errors.hpp"

namespace zelto::shm {

// The region's request queue.
RingBuffer request_queue(const ShmRegion& region);

// Waits until the entry in `slot` is published, that is until every producer that reserved an
// earlier slot has published its own. Spins briefly, then polls with short sleeps and the
// call's interruption checks, giving up at `deadline`. A queue that stands still is looked at
// every 100 ms: an entry ahead whose producer abandoned it or died is published here.
std::optional<platform::WaitStop> publish(RegionAttachment& attachment, RingBuffer& requests,
                                          uint64_t slot,
                                          std::chrono::steady_clock::time_point deadline,
                                          const platform::CallWait& wait);

// The request id of a response entry.
uint64_t response_id(const std::array<uint8_t, kResponseEntrySize>& raw);

// Queues request `id`, whose block lies in `slot`: registers its mailbox, reserves, writes and
// publishes its entry (the publish bounded by `start` + the response time-out and by `wait`).
// Fails with QueueBlocked ("Queue is full", "Queue is stalled") or the stop; a request whose
// complete entry could not be published is left for others to publish, its slot kept leased.
std::expected<RegionClients::Mailbox, Error> send_request(
    RegionAttachment& attachment, uint64_t id, SlotLease& slot, uint64_t data_size,
    std::chrono::steady_clock::time_point start, const platform::CallWait& wait);

// The output of a response entry, viewed in the region (holding `slot` until it is copied
// out), or the server's error text (Server), or Codec for an entry that points outside the
// region.
std::expected<OutputView, Error> read_answer(const ShmRegion& region,
                                             const std::array<uint8_t, kResponseEntrySize>& raw,
                                             SlotLease slot);

}  // namespace zelto::shm
