// Where the runtime's threads leave finished calls for the event loop that started them, and how
// that loop is woken: one queue per (process, loop).
//
// The runtime's threads never touch a Python object, and a finished call holds some (its future,
// the input it borrowed): it is handed over whole, and only the loop's thread, holding the
// interpreter lock, delivers and destroys it. A push that finds the queue empty writes one byte
// to the wake-up stream, which the loop watches; the loop drains that stream, then takes every
// queued call in one batch. A push onto a non-empty queue needs no wake-up: the byte of the
// first is still to be read, or the batch being taken already holds it.
//
// Once the loop's side has closed the queue (its loop is gone), a call that still finishes is
// never destroyed: nothing may release its Python objects off the loop's thread.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/stream_handle.hpp"

namespace zelto::aio {

// A finished call, delivered and destroyed on its loop's thread only.
class Completion {
public:
    virtual ~Completion() = default;
    // Hands the result to whoever awaits it (sets the future's result).
    virtual void deliver() = 0;
};

class CompletionQueue {
public:
    // Takes ownership of `wake`, the writing end of a non-blocking stream whose other end the
    // loop watches.
    explicit CompletionQueue(platform::StreamHandle wake) noexcept : wake_(wake) {}
    ~CompletionQueue();
    CompletionQueue(const CompletionQueue&) = delete;
    CompletionQueue& operator=(const CompletionQueue&) = delete;

    // From any thread.
    void push(std::unique_ptr<Completion> completion);
    // The loop's side: every call queued so far, oldest first.
    std::vector<std::unique_ptr<Completion>> take_all();
    // The loop's side, when its loop is gone: what is queued is returned for the caller to
    // destroy; later pushes are kept for good.
    std::vector<std::unique_ptr<Completion>> close();

private:
    std::mutex mutex_;
    std::vector<std::unique_ptr<Completion>> queued_;
    bool closed_ = false;
    platform::StreamHandle wake_;
};

}  // namespace zelto::aio
