// The hybrid client's connection slot: an optional open connection behind an asynchronous
// mutex with one permit and a first-in-first-out queue of waiting lock requests.
//
// The cell is shared by reference count between the client and every exchange in flight; the
// last holder destroys it, which closes the connection if one is open. Once a connection is put
// in, it stays until the cell is destroyed.
//
// The connection is a plain non-blocking socket, not registered with any event loop: an
// exchange tries each step on the calling thread and lends the socket to its runtime's event
// loop only for a step that has to wait. A socket registered for good would wake a worker
// every time data arrived, even for an answer the caller reads itself.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "transport/connection.hpp"

namespace zelto::hybrid {

// An open pipe connection: the socket, and the bytes already read past the end of the last
// response frame. A well-behaved server sends nothing unasked, so there are none; should one
// send more, those bytes begin the next response, exactly as if they had been read there.
struct PipeConnection {
    explicit PipeConnection(int fd) : socket(fd) {}

    Connection socket;
    std::vector<uint8_t> read_ahead;
};

class ConnectionCell {
public:
    using Connection = PipeConnection;

    // Exclusive access to the optional connection while it lives; destroying it hands the permit
    // to the oldest waiter, or frees it.
    class Guard {
    public:
        Guard(Guard&& other) noexcept : cell_(std::exchange(other.cell_, nullptr)) {}
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (cell_ != nullptr) cell_->release();
        }

        std::optional<Connection>& operator*() const noexcept { return cell_->connection_; }
        std::optional<Connection>* operator->() const noexcept { return &cell_->connection_; }

    private:
        friend class ConnectionCell;
        explicit Guard(ConnectionCell* cell) noexcept : cell_(cell) {}
        ConnectionCell* cell_;
    };

    ConnectionCell() = default;
    ConnectionCell(const ConnectionCell&) = delete;
    ConnectionCell& operator=(const ConnectionCell&) = delete;

    // Completes at once when the permit is free; otherwise joins the end of the queue and
    // resumes, on the waiting coroutine's own executor, when the permit is handed to it.
    asio::awaitable<Guard> lock();

    // Takes the permit without waiting when it is free and nobody waits for it.
    std::optional<Guard> try_lock();

    // Whether the permit is taken, and how many lock requests wait (for tests).
    bool locked() const;
    size_t waiting() const;

private:
    // Takes the permit if it is free and nobody waits, so a newcomer never overtakes a waiter.
    bool try_acquire();
    // Queues `handler`, or resumes it at once when the permit was freed in the meantime.
    template <typename Handler>
    void enqueue(Handler handler);
    void release();

    mutable std::mutex mutex_;
    bool held_ = false;
    std::deque<std::move_only_function<void()>> waiters_;
    std::optional<Connection> connection_;
};

template <typename Handler>
void ConnectionCell::enqueue(Handler handler) {
    // Resuming goes through the waiter's executor, never inline from the releasing code.
    auto resume = [handler = std::move(handler)]() mutable {
        auto executor = asio::get_associated_executor(handler);
        asio::post(executor, std::move(handler));
    };
    std::unique_lock lock(mutex_);
    if (!held_) {
        held_ = true;
        lock.unlock();
        resume();
        return;
    }
    waiters_.emplace_back(std::move(resume));
}

}  // namespace zelto::hybrid
