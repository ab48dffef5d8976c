// The ring buffer and the shared-memory client across real processes.
//
// Children are this test executable started again (support/child_process.hpp). A child finds
// its role in the environment variable ZELTO_STRESS_CHILD and runs it from a static initialiser,
// before GoogleTest starts, then exits with the role's status. Children share nothing with the
// parent but a test region: the queue under test, and a control area for a start barrier,
// counters and results.
//
// ZELTO_STRESS_ENTRIES sets how many entries each producer pushes (stress_size.hpp).

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/shared_memory.hpp"
#include "shm/little_endian.hpp"
#include "shm/queue_entries.hpp"
#include "shm/region_clients.hpp"
#include "shm/ring_buffer.hpp"
#include "shm/shm_client.hpp"
#include "shm_test_region.hpp"
#include "stress_size.hpp"
#include "support/child_process.hpp"

namespace zelto::shm {
namespace {

constexpr const char* kChildVariable = "ZELTO_STRESS_CHILD";
constexpr size_t kMaxEntrySize = 48;

// Control area, at the start of the region's extra area:
//   0   u64 children that reached the start barrier
//   8   u64 entries taken by all consumers together
//   64  one 64-byte result record per child (see the roles)
//   kBitmap  one bit per (producer, sequence): set by the consumer that took the entry
constexpr uint64_t kReady = 0;
constexpr uint64_t kTaken = 8;
constexpr uint64_t kResults = 64;
constexpr uint64_t kResultSize = 64;
constexpr uint64_t kMaxChildren = 16;
constexpr uint64_t kBitmap = kResults + kMaxChildren * kResultSize;

std::atomic_ref<uint64_t> shared_word(uint8_t* address) {
    return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(address));
}

// The words of an entry after (producer, sequence): a function of both, so that an entry put
// together from two different writes (a torn or stale copy) is recognised.
uint64_t fill_word(uint64_t producer, uint64_t sequence, uint64_t word) {
    uint64_t x = (producer << 56) ^ (sequence << 4) ^ word ^ 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// What every role needs to find its way around the region.
struct Plan {
    std::string region;
    uint64_t queue_offset = 0;
    uint64_t entry_size = 0;
    uint64_t control_offset = 0;
    uint64_t producers = 0;
    uint64_t consumers = 0;
    uint64_t per_producer = 0;

    uint64_t children() const { return producers + consumers; }
    uint64_t total() const { return producers * per_producer; }

    std::string encode() const {
        return region + " " + std::to_string(queue_offset) + " " + std::to_string(entry_size) +
               " " + std::to_string(control_offset) + " " + std::to_string(producers) + " " +
               std::to_string(consumers) + " " + std::to_string(per_producer);
    }
    static Plan decode(std::istream& in) {
        Plan plan;
        in >> plan.region >> plan.queue_offset >> plan.entry_size >> plan.control_offset >>
            plan.producers >> plan.consumers >> plan.per_producer;
        return plan;
    }
};

// A child's view of the region and its control area.
struct Attached {
    platform::SharedMapping mapping;
    uint8_t* control;

    static std::optional<Attached> open(const Plan& plan) {
        auto mapping = platform::SharedMapping::open(plan.region);
        if (!mapping) return std::nullopt;
        uint8_t* control = mapping->base() + plan.control_offset;
        return Attached{std::move(*mapping), control};
    }
    RingBuffer queue(const Plan& plan) const {
        return RingBuffer(mapping.base() + plan.queue_offset, plan.entry_size);
    }
    uint8_t* result(uint64_t child) const { return control + kResults + child * kResultSize; }

    // Every child waits here until all have started, so that they contend from the first entry.
    void start_barrier(const Plan& plan) const {
        auto ready = shared_word(control + kReady);
        ready.fetch_add(1);
        while (ready.load() < plan.children()) std::this_thread::yield();
    }
};

int run_producer(const Plan& plan, uint64_t producer) {
    auto attached = Attached::open(plan);
    if (!attached) return 10;
    RingBuffer ring = attached->queue(plan);
    std::array<uint8_t, kMaxEntrySize> entry{};
    attached->start_barrier(plan);
    for (uint64_t sequence = 0; sequence < plan.per_producer;) {
        store_le<uint64_t>(entry.data(), producer);
        store_le<uint64_t>(entry.data() + 8, sequence);
        for (uint64_t word = 2; word < plan.entry_size / 8; ++word)
            store_le<uint64_t>(entry.data() + 8 * word, fill_word(producer, sequence, word));
        if (ring.push(std::span(entry.data(), plan.entry_size)) == RingBuffer::PushResult::Ok)
            ++sequence;
        else
            std::this_thread::yield();  // full: let the consumers catch up
    }
    return 0;
}

// Result record of a consumer: taken, duplicates, reordered, corrupt (u64 each).
int run_consumer(const Plan& plan, uint64_t consumer) {
    auto attached = Attached::open(plan);
    if (!attached) return 10;
    RingBuffer ring = attached->queue(plan);
    auto taken_total = shared_word(attached->control + kTaken);
    uint8_t* bitmap = attached->control + kBitmap;
    std::vector<int64_t> last(plan.producers, -1);
    uint64_t taken = 0, duplicates = 0, reordered = 0, corrupt = 0;
    std::array<uint8_t, kMaxEntrySize> entry{};
    attached->start_barrier(plan);
    while (taken_total.load() < plan.total()) {
        if (!ring.pop(std::span(entry.data(), plan.entry_size))) {
            std::this_thread::yield();
            continue;
        }
        ++taken;
        uint64_t producer = load_le<uint64_t>(entry.data());
        uint64_t sequence = load_le<uint64_t>(entry.data() + 8);
        bool intact = producer < plan.producers && sequence < plan.per_producer;
        for (uint64_t word = 2; intact && word < plan.entry_size / 8; ++word)
            intact =
                load_le<uint64_t>(entry.data() + 8 * word) == fill_word(producer, sequence, word);
        if (!intact) {
            ++corrupt;
        } else {
            // Entries of one producer reach any one consumer in the order they were pushed.
            if (static_cast<int64_t>(sequence) <= last[producer]) ++reordered;
            last[producer] = static_cast<int64_t>(sequence);
            uint64_t bit = producer * plan.per_producer + sequence;
            uint64_t mask = uint64_t{1} << (bit % 64);
            if (shared_word(bitmap + bit / 64 * 8).fetch_or(mask) & mask) ++duplicates;
        }
        taken_total.fetch_add(1);
    }
    uint8_t* result = attached->result(consumer);
    store_le<uint64_t>(result, taken);
    store_le<uint64_t>(result + 8, duplicates);
    store_le<uint64_t>(result + 16, reordered);
    store_le<uint64_t>(result + 24, corrupt);
    return 0;
}

// Reserves a request slot, writes into it and dies before publishing.
// A client that dies between reserving its request entry and publishing it.
int run_dead_producer(const Plan& plan) {
    auto attached = Attached::open(plan);
    if (!attached) return 10;
    auto region = ShmRegion::open(plan.region);
    if (!region) return 12;
    auto clients = RegionClients::join(**region);
    if (!clients) return 13;
    RingBuffer ring = attached->queue(plan);
    (*clients)->reserving();
    auto slot = ring.reserve();
    if (!slot) return 11;
    (*clients)->reserved(*slot);
    std::array<uint8_t, kMaxEntrySize> junk{};
    junk.fill(0xAB);
    ring.write_slot(*slot, std::span(junk.data(), plan.entry_size));
    test_processes::die_abruptly();
}

// One request through a ShmClient of its own. The result record holds the error's type and
// the length and text of its message (at most 48 bytes); exit 0 means the call failed.
int run_client(const Plan& plan, uint64_t child) {
    auto attached = Attached::open(plan);
    if (!attached) return 10;
    auto client = ShmClient::open(plan.region);
    if (!client) return 11;
    attached->start_barrier(plan);
    std::vector<int64_t> shape{3};
    std::vector<uint8_t> data{1, 2, 3};
    auto result = client->infer(shape, "uint8", data, platform::unbounded_wait());
    if (result) return 12;
    uint8_t* record = attached->result(child);
    const std::string& message = result.error().message;
    size_t length = std::min<size_t>(message.size(), kResultSize - 16);
    store_le<uint64_t>(record, static_cast<uint64_t>(result.error().kind));
    store_le<uint64_t>(record + 8, length);
    std::memcpy(record + 16, message.data(), length);
    return 0;
}

int run_child(const char* role_text) {
    std::istringstream in(role_text);
    std::string role;
    uint64_t index = 0;
    in >> role >> index;
    Plan plan = Plan::decode(in);
    if (!in) return 20;
    if (role == "producer") return run_producer(plan, index);
    if (role == "consumer") return run_consumer(plan, index);
    if (role == "dead-producer") return run_dead_producer(plan);
    if (role == "client") return run_client(plan, index);
    return 21;
}

// A child runs its role here, before any test, and never returns into GoogleTest.
[[maybe_unused]] const bool kRanAsChild = [] {
    if (const char* role_text = std::getenv(kChildVariable)) std::_Exit(run_child(role_text));
    return false;
}();

using test_processes::Child;
using test_processes::wait_all;

// Starts one child per (role, index); if any cannot be started, the others are killed and
// nothing is returned, so no child is left waiting at the start barrier.
std::vector<Child> spawn_children(const std::vector<std::pair<std::string, uint64_t>>& roles,
                                  const Plan& plan) {
    std::vector<Child> children;
    for (const auto& [role, index] : roles) {
        auto child = test_processes::spawn_self(
            kChildVariable, role + " " + std::to_string(index) + " " + plan.encode());
        if (!child) {
            wait_all(children, {});
            return {};
        }
        children.push_back(*child);
    }
    return children;
}

struct QueueCase {
    const char* label;
    bool responses;  // the response queue (48-byte entries), else the request queue (40)
    friend void PrintTo(const QueueCase& c, std::ostream* out) { *out << c.label; }
};

class RingBufferProcesses : public ::testing::TestWithParam<QueueCase> {};

TEST_P(RingBufferProcesses, DeliverEveryEntryExactlyOnceAndInProducerOrder) {
    constexpr uint64_t kProducers = 4, kConsumers = 3;
    const uint64_t per_producer = zelto::testing::stress_entries();
    const uint64_t bitmap_bytes = (kProducers * per_producer + 63) / 64 * 8;
    testing::TestRegion region("stress", 4096, kBitmap + bitmap_bytes);

    Plan plan;
    plan.region = region.name();
    plan.queue_offset = GetParam().responses ? testing::TestRegion::kResponseQueue
                                             : testing::TestRegion::kRequestQueue;
    plan.entry_size = GetParam().responses ? kResponseEntrySize : kRequestEntrySize;
    plan.control_offset = region.output_area();
    plan.producers = kProducers;
    plan.consumers = kConsumers;
    plan.per_producer = per_producer;
    // Start near the end of the index range so the first entries already wrap.
    RingBuffer(region.base() + plan.queue_offset, plan.entry_size).initialize(1000);

    std::vector<std::pair<std::string, uint64_t>> roles;
    for (uint64_t c = 0; c < kConsumers; ++c) roles.emplace_back("consumer", c);
    for (uint64_t p = 0; p < kProducers; ++p) roles.emplace_back("producer", p);
    std::vector<Child> children = spawn_children(roles, plan);
    ASSERT_EQ(children.size(), roles.size()) << "a child could not be started";

    // Generous: the quick size takes well under a second, a million per producer some seconds.
    auto limit = std::chrono::seconds(60) + std::chrono::milliseconds(plan.total() / 10);
    auto statuses = wait_all(children, limit);
    for (size_t i = 0; i < statuses.size(); ++i) {
        ASSERT_TRUE(statuses[i].finished) << "child " << i << " hung (killed after the limit)";
        ASSERT_TRUE(statuses[i].exited_cleanly())
            << "child " << i << " exit code " << statuses[i].exit_code;
    }

    uint8_t* control = region.base() + plan.control_offset;
    uint64_t taken = 0;
    for (uint64_t c = 0; c < kConsumers; ++c) {
        const uint8_t* result = control + kResults + c * kResultSize;
        taken += load_le<uint64_t>(result);
        EXPECT_EQ(load_le<uint64_t>(result + 8), 0u) << "consumer " << c << " duplicates";
        EXPECT_EQ(load_le<uint64_t>(result + 16), 0u) << "consumer " << c << " reordered";
        EXPECT_EQ(load_le<uint64_t>(result + 24), 0u) << "consumer " << c << " corrupt entries";
    }
    EXPECT_EQ(taken, plan.total());
    uint64_t missing = 0;
    for (uint64_t bit = 0; bit < plan.total(); ++bit) {
        if (!((load_le<uint64_t>(control + kBitmap + bit / 64 * 8) >> (bit % 64)) & 1)) ++missing;
    }
    EXPECT_EQ(missing, 0u);
    RingBuffer ring(region.base() + plan.queue_offset, plan.entry_size);
    EXPECT_EQ(ring.head(), ring.committed());
    EXPECT_EQ(ring.committed(), ring.tail());
    EXPECT_EQ(ring.tail(), (1000 + plan.total()) % RingBuffer::kCapacity);
}

INSTANTIATE_TEST_SUITE_P(Queues, RingBufferProcesses,
                         ::testing::Values(QueueCase{"requests", false},
                                           QueueCase{"responses", true}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(ShmClientProcesses, AProducerKilledBeforePublishingHoldsNobodyUp) {
    constexpr uint64_t kClients = 3;
    testing::TestRegion region("dead-producer", 2 << 20, 4096);
    Plan plan;
    plan.region = region.name();
    plan.queue_offset = testing::TestRegion::kRequestQueue;
    plan.entry_size = kRequestEntrySize;
    plan.control_offset = region.output_area();
    plan.consumers = kClients;  // the start barrier counts the clients

    std::vector<Child> dead = spawn_children({{"dead-producer", 0}}, plan);
    ASSERT_EQ(dead.size(), 1u);
    auto dead_status = wait_all(dead, std::chrono::seconds(30));
    ASSERT_TRUE(dead_status[0].finished);
    ASSERT_TRUE(dead_status[0].killed)
        << "the producer was to die between reserving and publishing";
    ASSERT_EQ(region.requests().tail(), 1u);
    ASSERT_EQ(region.requests().committed(), 0u);

    std::vector<std::pair<std::string, uint64_t>> roles;
    for (uint64_t c = 0; c < kClients; ++c) roles.emplace_back("client", c);
    std::vector<Child> clients = spawn_children(roles, plan);
    ASSERT_EQ(clients.size(), roles.size()) << "a child could not be started";
    // The dead producer's entry is published on its behalf, then every client's own; with no
    // server behind the queue, each call ends at its deadline. A hang is killed after 60 s.
    auto statuses = wait_all(clients, std::chrono::seconds(60));
    uint8_t* control = region.base() + plan.control_offset;
    for (uint64_t c = 0; c < kClients; ++c) {
        ASSERT_TRUE(statuses[c].finished) << "client " << c << " hung behind the dead producer";
        ASSERT_TRUE(statuses[c].exited_cleanly())
            << "client " << c << " exit code " << statuses[c].exit_code;
        const uint8_t* record = control + kResults + c * kResultSize;
        std::string message(reinterpret_cast<const char*>(record + 16),
                            load_le<uint64_t>(record + 8));
        EXPECT_EQ(message, "Request timed out") << "client " << c;
    }
    EXPECT_EQ(region.requests().committed(), 1 + kClients);
    EXPECT_EQ(region.requests().tail(), 1 + kClients);
    std::array<uint8_t, kRequestEntrySize> stand_in{};
    ASSERT_TRUE(region.requests().pop(stand_in));
    EXPECT_EQ(RequestEntry::decode(stand_in.data()).request_id, 0u);
}

}  // namespace
}  // namespace zelto::shm
