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
    end_expired_locked();
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
    const uint64_t number = next_lease_++;
    leases_.emplace(number, Lease{block, input_offset, now_() + kLease});
    leases_by_input_.emplace(input_offset, number);
}

void OutputArea::end_leases(uint64_t input_offset) {
    std::lock_guard lock(mutex_);
    auto [first, last] = leases_by_input_.equal_range(input_offset);
    for (auto it = first; it != last; ++it) {
        auto lease = leases_.find(it->second);
        free_locked(lease->second.block);
        leases_.erase(lease);
    }
    leases_by_input_.erase(first, last);
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
    while (!leases_.empty() && leases_.begin()->second.ends <= now) {
        end_lease_locked(leases_.begin());
    }
}

void OutputArea::end_lease_locked(std::map<uint64_t, Lease>::iterator lease) {
    auto [first, last] = leases_by_input_.equal_range(lease->second.input_offset);
    for (auto it = first; it != last; ++it) {
        if (it->second == lease->first) {
            leases_by_input_.erase(it);
            break;
        }
    }
    free_locked(lease->second.block);
    leases_.erase(lease);
}

}  // namespace zelto::server
