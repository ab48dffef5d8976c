#include "hybrid/connection_cell.hpp"

#include <algorithm>

namespace zelto::hybrid {

asio::awaitable<ConnectionCell::Guard> ConnectionCell::lock() {
    // Nobody can withdraw a request without a requester, so it always gets the permit.
    auto guard = co_await lock_for(nullptr);
    co_return std::move(*guard);
}

asio::awaitable<std::optional<ConnectionCell::Guard>> ConnectionCell::lock_for(
    const void* requester) {
    if (!try_acquire()) {
        bool granted = co_await asio::async_initiate<const asio::use_awaitable_t<>&, void(bool)>(
            [this, requester](auto handler) { enqueue(requester, std::move(handler)); },
            asio::use_awaitable);
        if (!granted) co_return std::nullopt;
    }
    co_return Guard(this);
}

void ConnectionCell::withdraw(const void* requester) {
    std::unique_lock lock(mutex_);
    auto queued = std::find_if(waiters_.begin(), waiters_.end(), [&](const Waiter& waiter) {
        return requester != nullptr && waiter.requester == requester;
    });
    if (queued == waiters_.end()) return;
    auto resume = std::move(queued->resume);
    waiters_.erase(queued);
    lock.unlock();
    resume(false);
}

std::optional<ConnectionCell::Guard> ConnectionCell::try_lock() {
    if (!try_acquire()) return std::nullopt;
    return Guard(this);
}

bool ConnectionCell::locked() const {
    std::lock_guard lock(mutex_);
    return held_;
}

size_t ConnectionCell::waiting() const {
    std::lock_guard lock(mutex_);
    return waiters_.size();
}

bool ConnectionCell::try_acquire() {
    std::lock_guard lock(mutex_);
    if (held_) return false;
    held_ = true;
    return true;
}

void ConnectionCell::release() {
    std::unique_lock lock(mutex_);
    if (waiters_.empty()) {
        held_ = false;
        return;
    }
    // The permit passes straight to the oldest waiter: it stays taken.
    auto next = std::move(waiters_.front().resume);
    waiters_.pop_front();
    lock.unlock();
    try {
        next(true);
    } catch (...) {
        // Only running out of memory while posting can get here. Releasing runs in a
        // destructor, where a throw would end the process; the waiter is dropped instead.
    }
}

}  // namespace zelto::hybrid
