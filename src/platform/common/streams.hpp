// Stream transfers that both systems' sides build the same way on their own system calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>

#include "platform/call_wait.hpp"
#include "platform/io_error.hpp"
#include "platform/socket.hpp"
#include "platform/stream_handle.hpp"

namespace zelto::platform {

// Receives from a socket once it is readable, waiting under `wait`; 0 is the end of the stream.
std::expected<size_t, IoError> receive_when_ready(StreamHandle stream, std::span<uint8_t> into,
                                                  const CallWait& wait);

// The pieces of one gathered send and how far they have gone out. A small message of several
// pieces (at most kGatherInto bytes in all) is copied into one buffer first: the kernel takes one
// contiguous piece faster than it gathers several, which is a measurable share of a small round
// trip.
class PieceCursor {
public:
    explicit PieceCursor(std::span<const std::span<const uint8_t>> pieces) : pieces_(pieces) {
        size_t total = 0;
        for (auto piece : pieces) total += piece.size();
        if (pieces.size() > 1 && total <= gathered_.size()) {
            size_t at = 0;
            for (auto piece : pieces) {
                if (piece.empty()) continue;
                std::memcpy(gathered_.data() + at, piece.data(), piece.size());
                at += piece.size();
            }
            single_[0] = std::span<const uint8_t>(gathered_.data(), total);
            pieces_ = single_;
        }
    }
    PieceCursor(const PieceCursor&) = delete;  // pieces_ may point into this object
    PieceCursor& operator=(const PieceCursor&) = delete;

    // Hands `add` each unsent piece that is not empty, in order, at most `max` of them; returns
    // how many it handed. 0: everything has gone out.
    template <typename Add>
    size_t each_unsent(size_t max, Add add) const {
        size_t count = 0;
        for (size_t i = next_; i < pieces_.size() && count < max; ++i) {
            std::span<const uint8_t> piece = pieces_[i].subspan(i == next_ ? offset_ : 0);
            if (piece.empty()) continue;
            add(piece);
            ++count;
        }
        return count;
    }

    // `sent` more bytes went out.
    void advance(size_t sent) {
        while (next_ < pieces_.size() && sent >= pieces_[next_].size() - offset_) {
            sent -= pieces_[next_].size() - offset_;
            ++next_;
            offset_ = 0;
        }
        offset_ += sent;
    }

private:
    std::span<const std::span<const uint8_t>> pieces_;
    std::array<uint8_t, kGatherInto> gathered_;
    std::span<const uint8_t> single_[1];
    size_t next_ = 0;    // first piece not yet completely sent
    size_t offset_ = 0;  // bytes of that piece already sent
};

}  // namespace zelto::platform
