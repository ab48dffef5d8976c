#include "aio/shm_client.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <system_error>
#include <utility>

#include "platform/clock.hpp"
#include "platform/wait_policy.hpp"
#include "shm/request_steps.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_client.hpp"
#include "transport/debug_notes.hpp"

namespace zelto::aio {

// ---- AsyncShmClient -------------------------------------------------------------------------

std::expected<std::unique_ptr<AsyncShmClient>, Error> AsyncShmClient::open(
    const std::string& shm_name, const shm::LogFn& log) {
    auto attachment = shm::RegionAttachment::open(shm_name, log);
    if (!attachment) return std::unexpected(std::move(attachment.error()));
    return std::unique_ptr<AsyncShmClient>(
        new AsyncShmClient(std::make_shared<shm::RegionAttachment>(std::move(*attachment))));
}

std::shared_ptr<shm::RegionAttachment> AsyncShmClient::attachment() const {
    std::lock_guard lock(mutex_);
    return attachment_;
}

std::shared_ptr<shm::RegionAttachment> AsyncShmClient::follow(
    const std::shared_ptr<shm::RegionAttachment>& replaced,
    std::shared_ptr<shm::RegionAttachment> fresh) {
    std::lock_guard lock(mutex_);
    if (attachment_ == replaced) attachment_ = std::move(fresh);
    return attachment_;
}

void AsyncShmClient::close() {
    std::shared_ptr<shm::RegionAttachment> closing;
    std::lock_guard lock(mutex_);
    closing.swap(attachment_);
}

// ---- ShmPoller ------------------------------------------------------------------------------

namespace {

using Clock = ShmRequest::Clock;
using Raw = std::array<uint8_t, shm::kResponseEntrySize>;

void answer(ShmRequest& request, const Raw& raw) {
    request.mailbox.reset();
    request.result.emplace(
        shm::read_answer(request.attachment->region(), raw, std::move(*request.slot)));
}

// Ends a call that was queued without its answer: the server may still read its block, so the
// slot stays leased until its lease runs out.
void give_up(ShmRequest& request, platform::WaitStop why) {
    request.mailbox.reset();
    if (request.slot) request.slot->keep();
    request.result.emplace(std::unexpected(Error::stopped(why)));
}

// Queues the request whose input lies in `slot` (its mailbox registered first); a failure is
// the call's result.
void send(ShmRequest& request, shm::SlotLease slot) {
    request.slot.emplace(std::move(slot));
    if (!request.holds_slot) {
        request.holds_slot = true;
        request.client->slot_taken();
    }
    auto mailbox =
        shm::send_request(*request.attachment, request.id, *request.slot, request.data.size(),
                          request.start, request.control->blocking_wait());
    if (!mailbox) {
        request.result.emplace(std::unexpected(std::move(mailbox.error())));
        return;
    }
    request.mailbox.emplace(std::move(*mailbox));
}

// Places and queues a new call; false when it has to wait for a slot of the pool.
bool begin_request(ShmRequest& request);

}  // namespace

bool ShmPoller::start() {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void ShmPoller::submit(ShmRequest& request, std::unique_ptr<Completion> completion,
                       std::shared_ptr<CompletionQueue> queue) {
    {
        std::lock_guard lock(mutex_);
        incoming_.push_back(Entry{&request, std::move(completion), std::move(queue)});
    }
    wake_.notify_one();
}

void ShmPoller::stop() noexcept {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    // A call may be waiting to publish (up to the response time-out): the thread ends on its
    // own, touching nothing but its calls.
    if (thread_.joinable()) thread_.detach();
}

void ShmPoller::run() {
    std::vector<Entry> pending;  // sent, waiting for their answers
    std::vector<Entry> waiting;  // waiting for a slot of their client's pool
    std::optional<platform::MicroWait> pause;
    for (;;) {
        std::vector<Entry> fresh;
        {
            std::unique_lock lock(mutex_);
            if (pending.empty() && waiting.empty()) {
                pause.reset();
                wake_.wait(lock, [&] { return stopping_ || !incoming_.empty(); });
            }
            if (stopping_) return;
            fresh.swap(incoming_);
        }
        bool progress = !fresh.empty();
        // The calls waiting for a slot go first, in the order they came.
        fresh.insert(fresh.begin(), std::make_move_iterator(waiting.begin()),
                     std::make_move_iterator(waiting.end()));
        waiting.clear();
        for (Entry& entry : fresh) {
            if (!begin(entry)) {
                waiting.push_back(std::move(entry));
            } else {
                pending.push_back(std::move(entry));
            }
        }
        if (poll(pending)) progress = true;
        // Finished calls go back to their loops.
        auto finished = std::stable_partition(pending.begin(), pending.end(), [](const Entry& e) {
            return !e.request->result.has_value();
        });
        for (auto it = finished; it != pending.end(); ++it)
            it->queue->push(std::move(it->completion));
        pending.erase(finished, pending.end());
        if (progress) pause.reset();
        if (!pause) pause.emplace();
        pause->pause();
    }
}

bool ShmPoller::begin(Entry& entry) {
    return begin_request(*entry.request);
}

namespace {

bool begin_request(ShmRequest& request) {
    // Begun on the caller's thread already (try_call_now): queued, or over.
    if (request.result || request.mailbox) return true;
    if (request.control->cancel_requested()) {
        request.result.emplace(std::unexpected(Error::stopped(platform::WaitStop::Interrupted)));
        return true;
    }
    std::shared_ptr<shm::RegionAttachment> attachment = request.client->attachment();
    if (!attachment) {
        request.result.emplace(std::unexpected(Error{ErrorKind::Usage, "Client is closed"}));
        return true;
    }
    if (auto refused = attachment->refuse_in_other_process()) {
        request.result.emplace(std::unexpected(std::move(*refused)));
        return true;
    }
    request.start = platform::monotonic_now();
    request.next_region_check = request.start + shm::ShmClient::kReattachCheck;
    request.id = attachment->take_request_id();
    // Read before the attempt: a call that gives its slot back in between is then still
    // counted, and the next round finds that slot free.
    const bool others_hold = request.client->holding() > 0;
    auto slot = attachment->place_input(request.shape, request.dtype, request.data);
    if (!slot) {
        // Every slot taken (or its memory not to be had) while other calls of this client hold
        // one: it waits for one of them to end, as long as a call waits for its answer.
        const auto now = Clock::now();
        if (!request.waiting_since) request.waiting_since = now;
        if (slot.error().kind == ErrorKind::PoolExhausted && others_hold &&
            now - *request.waiting_since < shm::ShmClient::kResponseTimeout)
            return false;
        request.result.emplace(std::unexpected(std::move(slot.error())));
        return true;
    }
    request.attachment = std::move(attachment);
    send(request, std::move(*slot));
    return true;
}

// Empties the response queue of the region of `request` (sent, without its result): its answer
// goes to it, the others to the mailboxes of their clients. Then takes its answer from its
// mailbox, where another thread may have put it.
void poll_alone(ShmRequest& request) {
    const shm::ShmRegion& region = request.attachment->region();
    shm::RingBuffer responses(region.base() + region.response_queue_offset(),
                              shm::kResponseEntrySize);
    Raw raw{};
    while (responses.pop(raw)) {
        if (!request.result && shm::response_id(raw) == request.id) {
            answer(request, raw);
        } else {
            (void)request.attachment->clients().deliver(raw);
        }
    }
    if (request.result) return;
    if (auto delivered = request.mailbox->delivered()) answer(request, *delivered);
}

}  // namespace

bool try_call_now(ShmRequest& request, std::chrono::nanoseconds spin) {
    if (!begin_request(request)) return false;
    platform::SpinBudget budget(spin);
    while (!request.result) {
        poll_alone(request);
        if (!request.result && !budget.again()) return false;
    }
    return true;
}

bool ShmPoller::poll(std::vector<Entry>& pending) {
    bool progress = false;
    // Each region's response queue, emptied once per round: an answer goes to its call here, or
    // to the mailbox of another client of the region (dropped when nobody waits for it).
    std::vector<const shm::RegionAttachment*> emptied;
    for (Entry& entry : pending) {
        const shm::RegionAttachment* attachment = entry.request->attachment.get();
        if (attachment == nullptr || entry.request->result ||
            std::find(emptied.begin(), emptied.end(), attachment) != emptied.end())
            continue;
        emptied.push_back(attachment);
        const shm::ShmRegion& region = attachment->region();
        shm::RingBuffer responses(region.base() + region.response_queue_offset(),
                                  shm::kResponseEntrySize);
        Raw raw{};
        while (responses.pop(raw)) {
            progress = true;
            const uint64_t id = shm::response_id(raw);
            auto owner = std::find_if(pending.begin(), pending.end(), [&](const Entry& e) {
                return e.request->attachment.get() == attachment && e.request->id == id &&
                       !e.request->result && e.request->mailbox;
            });
            if (owner != pending.end()) {
                answer(*owner->request, raw);
            } else {
                (void)attachment->clients().deliver(raw);
            }
        }
    }
    const Clock::time_point now = Clock::now();
    for (Entry& entry : pending) {
        ShmRequest& request = *entry.request;
        if (request.result) continue;
        if (auto delivered = request.mailbox->delivered()) {
            answer(request, *delivered);
        } else {
            check(request, now);
        }
        if (request.result) progress = true;
    }
    return progress;
}

void ShmPoller::check(ShmRequest& request, Clock::time_point now) {
    if (request.control->cancel_requested()) {
        give_up(request, request.control->stopped_reason());
        return;
    }
    if (now - request.start >= shm::ShmClient::kResponseTimeout) {
        debug_notes::note("request " + std::to_string(request.id) + " on region '" +
                          request.attachment->region().name() + "' timed out");
        give_up(request, platform::WaitStop::TimedOut);
        return;
    }
    if (!request.resent && now >= request.next_region_check) {
        // A late answer: the server may have restarted with a new region of the same name.
        if (request.attachment->replaced()) send_again(request);
        request.next_region_check = now + shm::ShmClient::kReattachCheck;
    }
}

void ShmPoller::send_again(ShmRequest& request) {
    // A new region that cannot be attached yet (its server is still making it) is tried again
    // at the next check.
    auto fresh = shm::RegionAttachment::open(request.attachment->region().name(), {});
    if (!fresh) return;
    auto current = request.client->follow(
        request.attachment, std::make_shared<shm::RegionAttachment>(std::move(*fresh)));
    if (!current) return;  // closed meanwhile: the call waits out its time
    request.mailbox.reset();
    request.slot.reset();
    request.attachment = std::move(current);
    request.resent = true;
    debug_notes::note("region '" + request.attachment->region().name() +
                      "' was made anew by a restarted server: attached to the new one");
    request.start = platform::monotonic_now();
    request.id = request.attachment->take_request_id();
    auto slot = request.attachment->place_input(request.shape, request.dtype, request.data);
    if (!slot) {
        request.result.emplace(std::unexpected(std::move(slot.error())));
        return;
    }
    send(request, std::move(*slot));
}

}  // namespace zelto::aio
