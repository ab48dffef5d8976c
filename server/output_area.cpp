#include "output_area.hpp"

#include <iterator>

namespace zelto::server {

OutputArea::OutputArea(uint64_t size, Now now) : size_(size), now_(std::move(now)) {
    if (size_ > 0) free_.emplace(0, size_);
}

uint64_t OutputArea::block_length(uint64_t length) {
    if (length == 0) return kAlignment;  // every block has an offset of its own
    return (length + kAlignment - 1) / kAlignment * kAlignment;
}

std::optional<uint64_t> OutputArea::allocate(uint64_t length) {
    if (length > size_) return std::nullopt;
    std::lock_guard lock(mutex_);
    return allocate_locked(block_length(length));
}

std::optional<uint64_t> OutputArea::allocate_for(uint64_t length, uint64_t input_offset) {
    std::lock_guard lock(mutex_);
    end_leases_locked(input_offset);
    if (length > size_) return std::nullopt;
    return allocate_locked(block_length(length));
}

std::optional<uint64_t> OutputArea::allocate_locked(uint64_t length) {
    // Leases past their time are ended only when room is short: reading the clock for every
    // answer would show in its latency.
    if (auto block = take_locked(length)) return block;
    end_expired_locked();
    return take_locked(length);
}

std::optional<uint64_t> OutputArea::take_locked(uint64_t length) {
    for (auto range = free_.begin(); range != free_.end(); ++range) {
        if (range->second < length) continue;
        const uint64_t offset = range->first;
        const auto next = std::next(range);
        auto node = free_.extract(range);
        if (node.mapped() > length) {
            // The rest of the range stays free, in the same place among the others: its node
            // moves up rather than being made anew.
            node.key() = offset + length;
            node.mapped() -= length;
            free_.insert(next, std::move(node));
            taken_.emplace(offset, length);
        } else {
            taken_.insert(std::move(node));
        }
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
    if (taken_.contains(block)) lease_locked(block, input_offset);
}

void OutputArea::lease_locked(uint64_t block, uint64_t input_offset) {
    Lease& lease = leases_[input_offset];
    if (lease.held) more_leases_.emplace(input_offset, lease);
    lease = Lease{block, now_() + kLease, true};
}

void OutputArea::end_leases(uint64_t input_offset) {
    std::lock_guard lock(mutex_);
    end_leases_locked(input_offset);
}

void OutputArea::end_leases_locked(uint64_t input_offset) {
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
    auto node = taken_.extract(taken);
    const uint64_t offset = node.key();
    // Merge with the free ranges on either side, so that large blocks find room again.
    auto after = free_.lower_bound(offset);
    if (after != free_.end() && offset + node.mapped() == after->first) {
        node.mapped() += after->second;
        after = free_.erase(after);
    }
    if (after != free_.begin()) {
        auto before = std::prev(after);
        if (before->first + before->second == offset) {
            before->second += node.mapped();
            return;
        }
    }
    // The block's node becomes the free range's.
    free_.insert(after, std::move(node));
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
