// The engine behind zelto_sdk.aio.ZeltoShmClient, and the poller that drives every asyncio
// shared-memory call of the process.
//
// A region has no descriptor an event loop could wait on: its answers are found by polling its
// response queue. So one thread of the runtime, the shm poller, does every step of these calls:
// it places the input, queues the request and polls the response queues of the regions in use,
// handing each answer to its call (or another client's to its mailbox), while the loop's thread
// only converts arguments and results. The poller spins a little after anything happened, then
// sleeps in short steps, and waits on a condition while no call is in flight. A call keeps its
// input slot leased until its output is copied out.
//
// The client's attachment is shared by its calls: a call holds the attachment it was sent on,
// so a client that follows its region to a new one (a restarted server) lets go of the old one
// once the last call on it has ended.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "aio/call_control.hpp"
#include "aio/completion_queue.hpp"
#include "shm/attachment.hpp"
#include "shm/output_view.hpp"
#include "shm/region_clients.hpp"
#include "transport/errors.hpp"

namespace zelto::aio {

class AsyncShmClient {
public:
    static std::expected<std::unique_ptr<AsyncShmClient>, Error> open(const std::string& shm_name,
                                                                      const shm::LogFn& log = {});

    // The attachment new calls are sent on; none once closed.
    std::shared_ptr<shm::RegionAttachment> attachment() const;
    // Follows the region to `fresh` unless the client did already (or was closed); the
    // attachment new calls use from now on.
    std::shared_ptr<shm::RegionAttachment> follow(
        const std::shared_ptr<shm::RegionAttachment>& replaced,
        std::shared_ptr<shm::RegionAttachment> fresh);
    // Lets go of the region once the calls in flight have ended.
    void close();
    // Calls that hold a slot of the pool (any thread): from their placing until the call is
    // destroyed, since a finished call holds its slot until the loop has copied its output out.
    void slot_taken() { holding_.fetch_add(1, std::memory_order_relaxed); }
    void slot_given_back() { holding_.fetch_sub(1, std::memory_order_relaxed); }
    uint64_t holding() const { return holding_.load(std::memory_order_relaxed); }

private:
    explicit AsyncShmClient(std::shared_ptr<shm::RegionAttachment> attachment)
        : attachment_(std::move(attachment)) {}

    mutable std::mutex mutex_;
    std::shared_ptr<shm::RegionAttachment> attachment_;
    std::atomic<uint64_t> holding_{0};
};

// One call, as the poller drives it. The caller fills the first members; the poller owns the
// rest until it hands the call back with `result` set.
struct ShmRequest {
    using Clock = std::chrono::steady_clock;

    AsyncShmClient* client = nullptr;
    std::span<const int64_t> shape;
    std::string_view dtype;
    std::span<const uint8_t> data;
    std::shared_ptr<CallControl> control;

    // Declared in this order so that the output (holding the slot) goes before the attachment.
    std::shared_ptr<shm::RegionAttachment> attachment;
    uint64_t id = 0;
    std::optional<shm::SlotLease> slot;
    std::optional<shm::RegionClients::Mailbox> mailbox;
    Clock::time_point start{};
    Clock::time_point next_region_check{};
    bool resent = false;                             // sent again to a new region already
    bool holds_slot = false;                         // counted in its client's holding()
    std::optional<Clock::time_point> waiting_since;  // for a slot of the pool
    std::optional<std::expected<shm::OutputView, Error>> result;
};

// A call's steps on the caller's thread, for a call alone in its process: placed, queued and its
// answer polled for up to `spin`. True when it has its result; otherwise the poller goes on with
// it from where this left it (submit it as any other).
bool try_call_now(ShmRequest& request, std::chrono::nanoseconds spin);

class ShmPoller {
public:
    ShmPoller() = default;
    ShmPoller(const ShmPoller&) = delete;
    ShmPoller& operator=(const ShmPoller&) = delete;

    // Starts the poller's thread; false when it cannot start.
    bool start();
    // Takes a call: `request` lives in `completion`, which is queued on `queue` once the
    // request has its result.
    void submit(ShmRequest& request, std::unique_ptr<Completion> completion,
                std::shared_ptr<CompletionQueue> queue);
    // Stops the thread (at exit); calls still in flight stay as they are.
    void stop() noexcept;

private:
    struct Entry {
        ShmRequest* request;
        std::unique_ptr<Completion> completion;
        std::shared_ptr<CompletionQueue> queue;
    };

    void run();
    // Places and queues a new call; false when it has to wait for a slot of the pool.
    bool begin(Entry& entry);
    // One round over the calls in flight: true when anything happened.
    bool poll(std::vector<Entry>& pending);
    void check(ShmRequest& request, ShmRequest::Clock::time_point now);
    void send_again(ShmRequest& request);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Entry> incoming_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace zelto::aio
