#include "platform/fork.hpp"

#include <pthread.h>

#include <atomic>

namespace zelto::platform {
namespace {

std::atomic<uint64_t> g_generation{0};

void count_fork_in_child() noexcept {
    g_generation.fetch_add(1, std::memory_order_relaxed);
}

// Registered once, before the first stamp is taken: a fork before that has no object to betray.
struct ForkCounter {
    ForkCounter() noexcept { (void)pthread_atfork(nullptr, nullptr, count_fork_in_child); }
};

}  // namespace

uint64_t fork_generation() noexcept {
    static ForkCounter counter;
    return g_generation.load(std::memory_order_relaxed);
}

}  // namespace zelto::platform
