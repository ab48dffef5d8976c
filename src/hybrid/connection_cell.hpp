// The hybrid client's connection slot: an optional open connection behind an asynchronous
// mutex with one permit and a first-in-first-out queue of waiting lock requests.
//
// The cell is shared by reference count between the client and every exchange in flight; the
// last holder destroys it, which closes the connection if one is open. Once a connection is put
// in, it stays until the cell is destroyed.
//
// The connection is a platform::AsyncStream: an exchange tries each step on the calling thread
// and waits through its runtime's event loop only for a step that cannot move at once.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/async_stream.hpp"

namespace zelto::hybrid {

// An open pipe connection: the stream, and the bytes already read past the end of the last
// response frame. A well-behaved server sends nothing unasked, so there are none; should one
// send more, those bytes begin the next response, exactly as if they had been read there.
//
// A connection whose exchange ended between the first byte of a request and the last byte of its
// answer may be out of step: the rest of that answer could still arrive and be taken for the next
// one. Such a connection is marked broken: it stays in the cell, as every connection does, but no
// exchange writes to it or reads from it again.
struct PipeConnection {
    explicit PipeConnection(platform::StreamHandle handle) : stream(handle) {}

    // Shuts the stream down, so the server sees the end and a transfer still waiting on the
    // stream completes. Only the process that opened the connection may do this: a forked child
    // shares the stream with its parent.
    void mark_broken() noexcept {
        if (broken) return;
        broken = true;
        stream.shut_down();
    }

    platform::AsyncStream stream;
    std::vector<uint8_t> read_ahead;
    bool broken = false;
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

    // The same for a requester that may give up waiting: while its request is queued,
    // withdraw(requester) takes it out of the queue and it completes without the permit.
    asio::awaitable<std::optional<Guard>> lock_for(const void* requester);
    // Does nothing when the requester's request is not queued (any more): it has the permit, or
    // has been handed it and resumes with it.
    void withdraw(const void* requester);

    // Takes the permit without waiting when it is free and nobody waits for it.
    std::optional<Guard> try_lock();

    // Whether the permit is taken, and how many lock requests wait (for tests).
    bool locked() const;
    size_t waiting() const;

private:
    // Takes the permit if it is free and nobody waits, so a newcomer never overtakes a waiter.
    bool try_acquire();
    // Queues `handler`, or resumes it at once when the permit was freed in the meantime. The
    // handler is resumed with true when it gets the permit, false when it was withdrawn.
    template <typename Handler>
    void enqueue(const void* requester, Handler handler);
    void release();

    // A queued request's way back to its coroutine, called once with whether it got the permit.
    // Type-erased by hand: awaitable completion handlers are move-only, which std::function
    // cannot hold, and not every standard library has std::move_only_function (libc++ lacks it).
    class Resumption {
    public:
        template <typename Callable>
        explicit Resumption(Callable callable)
            : callable_(std::make_unique<Holder<Callable>>(std::move(callable))) {}
        void operator()(bool granted) { (*callable_)(granted); }

    private:
        struct Callable {
            virtual ~Callable() = default;
            virtual void operator()(bool granted) = 0;
        };
        template <typename Function>
        struct Holder final : Callable {
            explicit Holder(Function function) : function(std::move(function)) {}
            void operator()(bool granted) override { function(granted); }
            Function function;
        };
        std::unique_ptr<Callable> callable_;
    };

    struct Waiter {
        const void* requester;  // null: never withdrawn
        Resumption resume;
    };

    mutable std::mutex mutex_;
    bool held_ = false;
    std::deque<Waiter> waiters_;
    std::optional<Connection> connection_;
};

template <typename Handler>
void ConnectionCell::enqueue(const void* requester, Handler handler) {
    // Resuming goes through the waiter's executor, never inline from the releasing code.
    auto resume = [handler = std::move(handler)](bool granted) mutable {
        auto executor = asio::get_associated_executor(handler);
        asio::post(executor, [handler = std::move(handler), granted]() mutable {
            std::move(handler)(granted);
        });
    };
    std::unique_lock lock(mutex_);
    if (!held_) {
        held_ = true;
        lock.unlock();
        resume(true);
        return;
    }
    waiters_.push_back(Waiter{requester, Resumption(std::move(resume))});
}

}  // namespace zelto::hybrid
