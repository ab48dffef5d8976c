#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>

#include "hybrid/io_runtime.hpp"

namespace zelto::hybrid {
namespace {

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

std::unique_ptr<IoRuntime> make_runtime() {
    auto runtime = IoRuntime::create();
    EXPECT_TRUE(runtime.has_value());
    return runtime ? std::move(*runtime) : nullptr;
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

// Reads 4 bytes from a socket of the current runtime, after telling `waiting` that it is about
// to wait, so the writer side can make sure the caller really parks.
asio::awaitable<std::string> read_four(int fd, std::promise<void>& waiting) {
    asio::local::stream_protocol::socket socket(IoRuntime::current()->io_context());
    socket.assign(asio::local::stream_protocol(), fd);
    std::array<char, 4> buffer{};
    waiting.set_value();
    co_await asio::async_read(socket, asio::buffer(buffer), asio::use_awaitable);
    co_return std::string(buffer.data(), buffer.size());
}

// Runs read_four on `runtime` against a peer that writes only once the operation waits.
void expect_parked_read_completes(IoRuntime& runtime) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::promise<void> waiting;
    std::thread writer([&, future = waiting.get_future()]() mutable {
        future.wait();
        ASSERT_EQ(write(fds[1], "ping", 4), 4);
    });
    auto result = runtime.run_to_completion(read_four(fds[0], waiting));
    writer.join();
    close(fds[1]);
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
