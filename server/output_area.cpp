#include "output_area.hpp"

#include <iterator>

namespace zelto::server {

OutputArea::OutputArea(uint64_t size, Now now) : size_(size), now_(std::move(now)) {
    if (size_ > 0) free_.emplace(0, size_);
}

std::optional<uint64_t> OutputArea::allocate(uint64_t length) {
    if (length == 0) length = kAlignment;  // every block has an offset of its own
    if (length > size_) return std::nullopt;
    length = (length + kAlignment - 1) / kAlignment * kAlignment;
    std::lock_guard lock(mutex_);
    // Leases past their time are ended only when room is short: reading the clock for every
    // answer would show in its latency.
    if (auto block = take_locked(length)) return block;
    end_expired_locked();
    return take_locked(length);
}

std::optional<uint64_t> OutputArea::take_locked(uint64_t length) {
    for (auto range = free_.begin(); range != free_.end(); ++range) {
        if (range->second < length) continue;
        const auto [offset, range_length] = *range;
        free_.erase(range);
        if (range_length > length) free_.emplace(offset + length, range_length - length);
        taken_.emplace(offset, length);
        return offset;
    }
    return std::nullopt;
}

void OutputArea::free(uint64_t block) {
    std::lock_guard lock(mutex_);
    free_locked(block);
}

void OutputArea::lease(uint64_t block, uint64_t input_offset) {
    std::lock_guard lock(mutex_);
    if (!taken_.contains(block)) return;
    Lease& lease = leases_[input_offset];
    if (lease.held) more_leases_.emplace(input_offset, lease);
    lease = Lease{block, now_() + kLease, true};
}

void OutputArea::end_leases(uint64_t input_offset) {
    std::lock_guard lock(mutex_);
    auto lease = leases_.find(input_offset);
    if (lease == leases_.end() || !lease->second.held) return;
    free_locked(lease->second.block);
    lease->second.held = false;
    auto [first, last] = more_leases_.equal_range(input_offset);
    for (auto more = first; more != last; ++more) free_locked(more->second.block);
    more_leases_.erase(first, last);
}

void OutputArea::free_locked(uint64_t block) {
    auto taken = taken_.find(block);
    if (taken == taken_.end()) return;
    uint64_t offset = taken->first;
    uint64_t length = taken->second;
    taken_.erase(taken);
    // Merge with the free ranges on either side, so that large blocks find room again.
    auto after = free_.lower_bound(offset);
    if (after != free_.end() && offset + length == after->first) {
        length += after->second;
        after = free_.erase(after);
    }
    if (after != free_.begin()) {
        auto before = std::prev(after);
        if (before->first + before->second == offset) {
            before->second += length;
            return;
        }
    }
    free_.emplace_hint(after, offset, length);
}

void OutputArea::end_expired_locked() {
    const auto now = now_();
    for (auto& [input, lease] : leases_) {
        if (lease.held && lease.ends <= now) {
            free_locked(lease.block);
            lease.held = false;
        }
    }
    for (auto more = more_leases_.begin(); more != more_leases_.end();) {
        if (more->second.ends > now) {
            ++more;
            continue;
        }
        free_locked(more->second.block);
        more = more_leases_.erase(more);
    }
}

}  // namespace zelto::server
