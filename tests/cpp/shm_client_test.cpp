#include "shm/shm_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.hpp"
#include "platform/os_error.hpp"
#include "shm/little_endian.hpp"
#include "shm/queue_entries.hpp"
#include "shm/region_clients.hpp"
#include "shm_test_region.hpp"

namespace zelto::shm {
namespace {

using testing::TestRegion;

// A server thread over a test region: pops requests and lets the test answer each one.
class FakeServer {
public:
    using Handler = std::function<void(const RequestEntry&, TestRegion&)>;

    FakeServer(TestRegion& region, Handler handler)
        : region_(region), handler_(std::move(handler)), thread_([this] { run(); }) {}
    ~FakeServer() {
        stop_ = true;
        thread_.join();
    }

    std::vector<RequestEntry> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }

    // Writes `response` to the response queue.
    static void respond(TestRegion& region, const ResponseEntry& response) {
        auto bytes = response.encode();
        while (region.responses().push(bytes) != RingBuffer::PushResult::Ok)
            std::this_thread::yield();
    }

    // Copies the request's block to the output area and answers with its offset.
    static void echo(const RequestEntry& request, TestRegion& region) {
        auto block =
            view_tensor_block({region.base(), region.size()}, request.tensor_offset).value();
        write_tensor_block(region.base() + region.output_area(), block.shape, DType::Uint8,
                           block.data);
        respond(region, {request.request_id, 0, region.output_area(), 0});
    }

private:
    void run() {
        std::array<uint8_t, kRequestEntrySize> raw{};
        while (!stop_) {
            if (!region_.requests().pop(raw)) {
                std::this_thread::yield();
                continue;
            }
            RequestEntry request = RequestEntry::decode(raw.data());
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            handler_(request, region_);
        }
    }

    TestRegion& region_;
    Handler handler_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<RequestEntry> requests_;
    std::thread thread_;
};

std::expected<std::vector<uint8_t>, Error> call(ShmClient& client, std::vector<int64_t> shape,
                                                std::string_view dtype, std::vector<uint8_t> data) {
    auto output = client.infer(shape, dtype, data, platform::unbounded_wait());
    if (!output) return std::unexpected(std::move(output.error()));
    return std::vector<uint8_t>(output->data().begin(), output->data().end());
}

TEST(ShmClient, OpenFailureIsASharedMemoryErrorWithTheRegionText) {
    auto client = ShmClient::open(testing::unique_region_name("absent"));
    ASSERT_FALSE(client.has_value());
    EXPECT_EQ(client.error().kind, ErrorKind::SharedMemory);
    EXPECT_EQ(client.error().message,
              "Shared memory error: Opening the shared memory failed, os error 2");
}

TEST(ShmClient, SendsNumberedRequestsWithTheirBlocksAndReturnsTheOutput) {
    TestRegion region("echo");
    // Guarded by a mutex: the client's view of the region is another mapping, so the queue's
    // atomics do not order this thread's writes for a race detector.
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> blocks;
    FakeServer server(region, [&](const RequestEntry& request, TestRegion& r) {
        const uint8_t* block = r.base() + request.tensor_offset;
        std::lock_guard lock(mutex);
        blocks.emplace_back(block, block + request.tensor_size);
        FakeServer::echo(request, r);
    });
    auto client = ShmClient::open(region.name()).value();

    uint64_t before = platform::wall_clock_ns();
    std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(call(client, {2, 5}, "INT32", data).value(), data);
    EXPECT_EQ(call(client, {0}, "u8", {}).value(), std::vector<uint8_t>{});
    uint64_t after = platform::wall_clock_ns();

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].request_id, 1u);
    EXPECT_EQ(requests[1].request_id, 2u);
    EXPECT_EQ(requests[0].tensor_size, 90u);
    EXPECT_EQ(requests[1].tensor_size, 80u);
    for (const auto& r : requests) {
        EXPECT_EQ(r.param_code, 0u);
        EXPECT_EQ(r.param_a, 0);
        EXPECT_EQ(r.param_b, 0);
        EXPECT_GE(r.timestamp_ns, before);
        EXPECT_LE(r.timestamp_ns, after);
        EXPECT_GE(r.tensor_offset, TestRegion::kTensorArea);
    }
    std::vector<uint8_t> expected(90);
    const int64_t shape[] = {2, 5};
    write_tensor_block(expected.data(), shape, DType::Int32, data);
    std::lock_guard lock(mutex);
    EXPECT_EQ(blocks[0], expected);
}

TEST(ShmClient, RefusedCallsUseUpTheirIdsAndQueueNothing) {
    TestRegion region("refused");
    FakeServer server(region, FakeServer::echo);
    auto client = ShmClient::open(region.name()).value();

    auto nine_dims = call(client, {1, 1, 1, 1, 1, 1, 1, 1, 1}, "float32", {1});
    EXPECT_EQ(nine_dims.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(nine_dims.error().message,
              "Invalid input: tensor has 9 dimensions, at most 8 are supported");

    auto bad_dtype = call(client, {1}, "Bogus", {1});
    EXPECT_EQ(bad_dtype.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(bad_dtype.error().message, "Invalid input: Unsupported dtype: bogus");

    // The pool is checked before the dtype.
    auto too_big = call(client, {1}, "bogus", std::vector<uint8_t>(1 << 20));
    EXPECT_EQ(too_big.error().kind, ErrorKind::PoolExhausted);
    EXPECT_EQ(too_big.error().message,
              "SHM tensor pool exhausted (required=1048656 bytes, largest_slot=1048576 bytes, "
              "layout=class0(base=94208 slot_size=262144 slots=4), class1(base=1142784 "
              "slot_size=1048576 slots=1))");

    ASSERT_TRUE(call(client, {1}, "uint8", {42}).has_value());
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].request_id, 4u);
}

struct ResponseCase {
    const char* label;
    std::function<void(const RequestEntry&, TestRegion&)> answer;
    std::expected<std::vector<uint8_t>, Error> expected;
};

// The server's failure text, and an answer whose block does not lie in the region.
std::unexpected<Error> server_failure(std::string text) {
    return std::unexpected(Error{ErrorKind::Server, std::move(text)});
}
std::unexpected<Error> bad_block(std::string text) {
    return std::unexpected(Error{ErrorKind::Codec, std::move(text)});
}

void error_text(TestRegion& r, uint64_t id, uint8_t status, std::string_view text) {
    uint64_t at = r.output_area() + 8;
    store_le<uint64_t>(r.base() + at, text.size());
    std::memcpy(r.base() + at + 8, text.data(), text.size());
    FakeServer::respond(r, {id, status, 0, at});
}

std::string region_bytes() {
    return std::to_string(TestRegion::kTensorArea + (2 << 20) + (1 << 20));
}

class ShmClientResponses : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(ShmClientResponses, AreTurnedIntoOutputsOrErrors) {
    const ResponseCase& c = GetParam();
    TestRegion region("responses");
    FakeServer server(region, c.answer);
    auto client = ShmClient::open(region.name()).value();
    auto result = call(client, {3}, "uint8", {7, 8, 9});
    if (c.expected) {
        EXPECT_EQ(result.value(), *c.expected);
    } else {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, c.expected.error().kind);
        EXPECT_EQ(result.error().message, c.expected.error().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShmClientResponses,
    ::testing::Values(
        ResponseCase{"foreign_ids_are_dropped",
                     [](const RequestEntry& q, TestRegion& r) {
                         error_text(r, q.request_id + 1, 1, "not mine");
                         FakeServer::respond(r, {0, 1, 0, 0});
                         FakeServer::echo(q, r);
                     },
                     std::vector<uint8_t>{7, 8, 9}},
        // The output may lie in the request's own block, which the call has given back to its
        // pool by the time the output is read.
        ResponseCase{"answer_in_the_request_block",
                     [](const RequestEntry& q, TestRegion& r) {
                         FakeServer::respond(r, {q.request_id, 0, q.tensor_offset, 0});
                     },
                     std::vector<uint8_t>{7, 8, 9}},
        ResponseCase{"empty_output",
                     [](const RequestEntry& q, TestRegion& r) {
                         write_tensor_block(r.base() + r.output_area(), {}, DType::Uint8, {});
                         FakeServer::respond(r, {q.request_id, 0, r.output_area(), 0});
                     },
                     std::vector<uint8_t>{}},
        ResponseCase{"status_without_text",
                     [](const RequestEntry& q, TestRegion& r) {
                         FakeServer::respond(r, {q.request_id, 3, 0, 0});
                     },
                     server_failure("Unknown error")},
        ResponseCase{"lossy_error_text",
                     [](const RequestEntry& q, TestRegion& r) {
                         error_text(r, q.request_id, 1, "bad \xFF input");
                     },
                     server_failure("bad \xEF\xBF\xBD input")},
        ResponseCase{
            "output_block_past_the_end",
            [](const RequestEntry& q, TestRegion& r) {
                store_le<uint64_t>(r.base() + r.output_area() + 72, uint64_t{1} << 40);
                FakeServer::respond(r, {q.request_id, 0, r.output_area(), 0});
            },
            bad_block("Output tensor block at offset " +
                      std::to_string(TestRegion::kTensorArea + (2 << 20)) +
                      " does not fit in the shared memory region of " + region_bytes() + " bytes")},
        ResponseCase{"error_text_offset_outside",
                     [](const RequestEntry& q, TestRegion& r) {
                         FakeServer::respond(r, {q.request_id, 2, 0, ~uint64_t{0}});
                     },
                     bad_block("Error text block at offset 18446744073709551615 does not fit in "
                               "the shared memory region of " +
                               region_bytes() + " bytes")}),
    [](const auto& info) { return std::string(info.param.label); });

// With 900 KiB of data only the single 1 MiB slot fits, so a second call that gets past the pool
// shows that the first released its slot.
const std::vector<uint8_t> kOneSlotOnly(900 * 1024);

TEST(ShmClient, FullRequestQueueFailsAtOnceAndReleasesTheSlot) {
    TestRegion region("full");
    for (int i = 0; i < 1020; ++i) {
        ASSERT_EQ(region.requests().push(RequestEntry{}.encode()), RingBuffer::PushResult::Ok);
    }
    auto client = ShmClient::open(region.name()).value();
    for (int i = 0; i < 2; ++i) {
        auto result = call(client, {1}, "uint8", kOneSlotOnly);
        EXPECT_EQ(result.error().kind, ErrorKind::QueueBlocked);
        EXPECT_EQ(result.error().message, "Queue is full");
    }
}

TEST(ShmClient, RaisingSignalHandlerEndsTheWaitAndReleasesTheSlot) {
    TestRegion region("signal");
    auto client = ShmClient::open(region.name()).value();
    int checks = 0;
    platform::CallWait raise_on_third;
    raise_on_third.interrupted = [&] { return ++checks >= 3; };
    for (int i = 0; i < 2; ++i) {
        checks = 0;
        auto result = client.infer(std::vector<int64_t>{1}, "uint8", kOneSlotOnly, raise_on_third);
        EXPECT_EQ(result.error().kind, ErrorKind::Interrupted);
        EXPECT_EQ(checks, 3);
    }
    EXPECT_EQ(region.requests().committed(), 2u);  // both requests were queued
}

TEST(ShmClient, PublishHeldBackBySlowProducerEndsAsStalledAndTheQueueMovesOnceItPublishes) {
    TestRegion region("stalled");
    auto slow = region.requests().reserve();  // a producer that stops mid-push
    ASSERT_TRUE(slow.has_value());
    auto client = ShmClient::open(region.name()).value();
    auto result = call(client, {1}, "uint8", {1});
    EXPECT_EQ(result.error().kind, ErrorKind::QueueBlocked);
    EXPECT_EQ(result.error().message, "Queue is stalled");

    // Once the slow producer publishes, the entry the call left behind is published too, so
    // later requests are not held back for good.
    ASSERT_TRUE(region.requests().publish(*slow));
    FakeServer server(region, [](const RequestEntry& request, TestRegion& r) {
        if (request.request_id != 0) FakeServer::echo(request, r);  // the slow one wrote zeros
    });
    EXPECT_EQ(call(client, {1}, "uint8", {7}).value(), std::vector<uint8_t>{7});
}

TEST(ShmClient, AnEntryWhoseProducerDiedIsPublishedAsAnEmptyRequestNobodyWaitsFor) {
    TestRegion region("dead");
    {
        // A client that reserved an entry and died before publishing it.
        auto mapping = ShmRegion::open(region.name()).value();
        auto dead = RegionClients::join(*mapping).value();
        dead->reserving();
        dead->reserved(region.requests().reserve().value());
    }
    FakeServer server(region, FakeServer::echo);
    auto client = ShmClient::open(region.name()).value();
    EXPECT_EQ(call(client, {1}, "uint8", {7}).value(), std::vector<uint8_t>{7});
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].request_id, 0u);
    EXPECT_EQ(requests[0].tensor_size, kTensorBlockHeaderSize);
    auto stand_in =
        view_tensor_block({region.base(), region.size()}, requests[0].tensor_offset).value();
    EXPECT_TRUE(stand_in.shape.empty() && stand_in.data.empty());
    EXPECT_EQ(requests[1].request_id, 1u);
}

TEST(ShmClient, AClientThatCannotJoinTheOthersOfItsRegionFailsToOpen) {
    TestRegion region("join");
    auto holder = platform::SharedMapping::open(region.name()).value();
    ASSERT_TRUE(holder.try_lock_byte(RegionClients::kJoinLock));  // a joiner that is stuck
    auto client = ShmClient::open(region.name());
    ASSERT_FALSE(client.has_value());
    EXPECT_EQ(client.error().kind, ErrorKind::SharedMemory);
    EXPECT_EQ(client.error().message,
              "Shared memory error: cannot join the other clients of this region: " +
                  platform::lock_held_error().message);
}

}  // namespace
}  // namespace zelto::shm
