#include "aio/runtime.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>

#include "platform/fork.hpp"

namespace zelto::aio {
namespace {

std::mutex creating;
// The runtime and the fork generation of the process that made it.
std::atomic<Runtime*> current{nullptr};
std::atomic<uint64_t> current_generation{0};
// The runtime that atexit stops: the one of the process that registered the hook last.
Runtime* stopped_at_exit = nullptr;
bool hook_registered = false;

}  // namespace

std::expected<Runtime*, Error> Runtime::get() {
    const uint64_t generation = platform::fork_generation();
    Runtime* runtime = current.load(std::memory_order_acquire);
    if (runtime != nullptr && current_generation.load(std::memory_order_relaxed) == generation)
        return runtime;
    std::lock_guard lock(creating);
    runtime = current.load(std::memory_order_acquire);
    if (runtime != nullptr && current_generation.load(std::memory_order_relaxed) == generation)
        return runtime;
    // First use, or a forked child: the runtime of the process before the fork stays as it is.
    auto* made = new (std::nothrow) Runtime();
    if (made == nullptr || !made->start()) {
        return std::unexpected(
            Error{ErrorKind::Runtime, "the asyncio runtime could not start its threads"});
    }
    stopped_at_exit = made;
    if (!hook_registered) {
        hook_registered = true;
        std::atexit([] {
            if (stopped_at_exit != nullptr) stopped_at_exit->stop();
        });
    }
    current_generation.store(generation, std::memory_order_relaxed);
    current.store(made, std::memory_order_release);
    return made;
}

bool Runtime::start() {
    try {
        io_thread_ = std::thread([this] { io_.run(); });
    } catch (const std::system_error&) {
        return false;
    }
    try {
        connect_thread_ = std::thread([this] { connector_.run(); });
    } catch (const std::system_error&) {
        io_.stop();
        io_thread_.join();
        return false;
    }
    return true;
}

ShmPoller* Runtime::shm_poller() {
    std::lock_guard lock(poller_mutex_);
    if (!poller_) {
        auto made = std::make_unique<ShmPoller>();
        if (!made->start()) return nullptr;
        poller_ = std::move(made);
    }
    return poller_.get();
}

void Runtime::stop() noexcept {
    {
        std::lock_guard lock(poller_mutex_);
        if (poller_) poller_->stop();
    }
    io_.stop();
    connector_.stop();
    if (io_thread_.joinable()) io_thread_.join();
    // A connect in progress may wait until its deadline: its thread is left to end with the
    // process; it touches nothing but its own call's state.
    if (connect_thread_.joinable()) connect_thread_.detach();
}

}  // namespace zelto::aio
