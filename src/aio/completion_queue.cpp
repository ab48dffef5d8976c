#include "aio/completion_queue.hpp"

#include <array>
#include <cstdint>
#include <utility>

#include "platform/nonblocking_socket.hpp"
#include "platform/socket.hpp"

namespace zelto::aio {

CompletionQueue::~CompletionQueue() {
    if (wake_.valid()) platform::close_socket(wake_);
}

void CompletionQueue::push(std::unique_ptr<Completion> completion) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            (void)completion.release();  // its Python objects cannot be released here
            return;
        }
        wake = queued_.empty();
        queued_.push_back(std::move(completion));
    }
    if (!wake) return;
    // One byte; a full stream already holds a wake-up, and a closed one has no reader left.
    static constexpr std::array<uint8_t, 1> kByte{1};
    (void)platform::try_send(wake_, kByte);
}

std::vector<std::unique_ptr<Completion>> CompletionQueue::take_all() {
    std::vector<std::unique_ptr<Completion>> taken;
    std::lock_guard lock(mutex_);
    taken.swap(queued_);
    return taken;
}

std::vector<std::unique_ptr<Completion>> CompletionQueue::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    return std::exchange(queued_, {});
}

}  // namespace zelto::aio
