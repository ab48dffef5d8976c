#include "hybrid/connection_cell.hpp"

namespace zelto::hybrid {

asio::awaitable<ConnectionCell::Guard> ConnectionCell::lock() {
    if (!try_acquire()) {
        co_await asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
            [this](auto handler) { enqueue(std::move(handler)); }, asio::use_awaitable);
    }
    co_return Guard(this);
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
    auto next = std::move(waiters_.front());
    waiters_.pop_front();
    lock.unlock();
    try {
        next();
    } catch (...) {
        // Only running out of memory while posting can get here. Releasing runs in a
        // destructor, where a throw would end the process; the waiter is dropped instead.
    }
}

}  // namespace zelto::hybrid
