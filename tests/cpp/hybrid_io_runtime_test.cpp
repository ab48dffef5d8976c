#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sched.h>
#endif

#include <array>
#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include <asio/post.hpp>

#include "hybrid/io_runtime.hpp"
#include "platform/async_stream.hpp"
#include "platform/socket.hpp"
#include "support/stream_pair.hpp"

namespace zelto::hybrid {
namespace {

std::unique_ptr<IoRuntime> make_runtime() {
    auto runtime = IoRuntime::create();
    EXPECT_TRUE(runtime.has_value());
    return runtime ? std::move(*runtime) : nullptr;
}

#if !defined(_WIN32)  // threads are counted in /proc
size_t thread_count() {
    auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<size_t>(std::distance(tasks, std::filesystem::directory_iterator{}));
}

// A joined thread may linger in /proc for a moment after join returns; wait for it to go.
bool thread_count_reaches(size_t expected) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (thread_count() != expected) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        sched_yield();
    }
    return true;
}

TEST(HybridIoRuntime, StartsOneWorkerPerAvailableProcessorAndLeavesNoThreadBehind) {
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
    size_t before = thread_count();
    auto runtime = make_runtime();
    ASSERT_TRUE(runtime);
    EXPECT_EQ(runtime->worker_count(), static_cast<size_t>(CPU_COUNT(&set)));
    EXPECT_EQ(thread_count(), before + runtime->worker_count());
    runtime.reset();
    EXPECT_TRUE(thread_count_reaches(before));
}
#endif

// Reads 4 bytes from a stream through the current runtime, after telling `waiting` that it is
// about to wait, so the writer side can make sure the caller really parks.
asio::awaitable<std::string> read_four(platform::AsyncStream& stream, std::promise<void>& waiting) {
    std::array<uint8_t, 4> buffer{};
    waiting.set_value();
    for (size_t got = 0; got < buffer.size();) {
        auto read = co_await stream.read_some(IoRuntime::current()->io_context(),
                                              std::span(buffer).subspan(got));
        if (read.outcome != platform::Transfer::Outcome::Moved) co_return "ended";
        got += read.bytes;
    }
    co_return std::string(buffer.begin(), buffer.end());
}

// Runs read_four on `runtime` against a peer that writes only once the operation waits.
void expect_parked_read_completes(IoRuntime& runtime) {
    auto [client, server] = test_streams::local_pair(platform::Blocking::No);
    platform::AsyncStream stream(client);
    std::promise<void> waiting;
    std::thread writer([&, future = waiting.get_future()]() mutable {
        future.wait();
        const uint8_t ping[] = {'p', 'i', 'n', 'g'};
        ASSERT_TRUE(platform::send_all(server, ping).has_value());
    });
    auto result = runtime.run_to_completion(read_four(stream, waiting));
    writer.join();
    platform::close_socket(server);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, "ping");
    EXPECT_EQ(IoRuntime::current(), nullptr);
}

TEST(HybridIoRuntime, WorkersWakeTheParkedCallerAndRuntimesAreIndependent) {
    auto first = make_runtime();
    auto second = make_runtime();
    ASSERT_TRUE(first && second);
    expect_parked_read_completes(*first);
    expect_parked_read_completes(*second);
    first.reset();
    expect_parked_read_completes(*second);
    expect_parked_read_completes(*second);
}

asio::awaitable<int> answer() {
    co_return 42;
}

asio::awaitable<std::string> nested(IoRuntime& runtime) {
    auto inner = runtime.run_to_completion(answer());
    co_return inner ? std::string("ran") : inner.error();
}

TEST(HybridIoRuntime, RefusesToWaitInsideAWaitOrOnAWorker) {
    auto runtime = make_runtime();
    ASSERT_TRUE(runtime);
    auto outer = runtime->run_to_completion(nested(*runtime));
    ASSERT_TRUE(outer.has_value());
    EXPECT_EQ(*outer, "cannot wait for an operation while already waiting for one");

    std::promise<std::expected<int, std::string>> from_worker;
    asio::post(runtime->io_context(),
               [&] { from_worker.set_value(runtime->run_to_completion(answer())); });
    auto refused = from_worker.get_future().get();
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "cannot wait for an operation on a worker thread of an I/O runtime");

    // Neither refusal left the runtime unusable.
    EXPECT_EQ(runtime->run_to_completion(answer()), 42);
}

TEST(HybridIoRuntime, WithoutAStopAPassedDeadlineStillRunsTheOperation) {
    auto runtime = make_runtime();
    ASSERT_TRUE(runtime);
    platform::CallWait late;
    late.deadline = platform::CallWait::Clock::now() - std::chrono::milliseconds(1);
    EXPECT_EQ(runtime->run_to_completion(answer(), late), 42);
}

asio::awaitable<int> throws() {
    throw std::runtime_error("boom");
    co_return 0;
}

TEST(HybridIoRuntime, AnEscapingExceptionBecomesAnErrorValue) {
    auto runtime = make_runtime();
    ASSERT_TRUE(runtime);
    auto result = runtime->run_to_completion(throws());
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "boom");
    EXPECT_EQ(runtime->run_to_completion(answer()), 42);
}

}  // namespace
}  // namespace zelto::hybrid
