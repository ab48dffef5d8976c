#include "platform/server_process.hpp"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>

namespace zelto::platform {

namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void catch_stop_requests() {
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void wait_for_stop_request() {
    sigset_t set = stop_signals();
    int signal_number = 0;
    while (sigwait(&set, &signal_number) != 0) {
    }
}

// With malloc's adaptive defaults, a fresh server returned each request's freed buffers to the
// kernel and faulted them back in on the next request (about 750 page faults, and a
// millisecond, per 1 MiB echo) until some larger request happened to raise the thresholds.
// Fixed thresholds keep them in the heap from the start.
void keep_freed_buffers_in_heap() {
#ifdef M_MMAP_THRESHOLD
    constexpr int kMmapFrom = 32 << 20;  // malloc's largest heap-served size on 64-bit
    constexpr int kTrimFrom = 512 << 20;
    mallopt(M_MMAP_THRESHOLD, kMmapFrom);
    mallopt(M_TRIM_THRESHOLD, kTrimFrom);
#endif
}

}  // namespace zelto::platform
