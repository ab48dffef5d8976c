#include "shm/tensor_pool.hpp"

#include <algorithm>
#include <limits>

namespace zelto::shm {

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

uint64_t saturating_add(uint64_t a, uint64_t b) {
    return b > kU64Max - a ? kU64Max : a + b;
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    return a != 0 && b > kU64Max / a ? kU64Max : a * b;
}

TensorPool::Clock::time_point saturating_add(TensorPool::Clock::time_point t,
                                             TensorPool::Clock::duration d) {
    using TP = TensorPool::Clock::time_point;
    if (d.count() > 0 && t > TP::max() - d) return TP::max();
    return t + d;
}

}  // namespace

// One size class: `slots` slots of `slot_size` bytes from `base`. A slot's lease is the
// monotonic time at which it runs out; a slot that was never leased or was released holds
// time_point::min(), which is at or before every `now`, so "free" is one comparison.
struct TensorPool::SizeClass {
    SizeClass(std::string name, uint64_t base, uint64_t slot_size, uint64_t slots,
              Clock::duration lease)
        : name(std::move(name)),
          base(base),
          slot_size(slot_size),
          slots(slots),
          total(saturating_mul(slot_size, slots)),
          leases(slots, Clock::time_point::min()),
          lease_duration(lease) {}

    std::optional<uint64_t> try_allocate(uint64_t required, Clock::time_point now) {
        if (required > slot_size) return std::nullopt;
        uint64_t start = cursor.fetch_add(1, std::memory_order_relaxed) % slots;
        std::lock_guard lock(mutex);
        for (uint64_t i = 0; i < slots; ++i) {
            uint64_t k = (start + i) % slots;
            if (leases[k] <= now) {
                leases[k] = saturating_add(now, lease_duration);
                return base + k * slot_size;
            }
        }
        return std::nullopt;
    }

    bool contains(uint64_t offset) const { return offset >= base && offset - base < total; }

    const std::string name;
    const uint64_t base;
    const uint64_t slot_size;
    const uint64_t slots;
    const uint64_t total;
    std::vector<Clock::time_point> leases;  // guarded by `mutex`
    std::atomic<uint64_t> cursor{0};
    const Clock::duration lease_duration;
    std::mutex mutex;
};

std::vector<SizeClassSpec> TensorPool::default_classes() {
    return {{262'144, 1}, {1'048'576, 1}, {4'194'304, 1}, {16'777'216, 1}, {67'108'864, 1}};
}

TensorPool::TensorPool(uint64_t base, uint64_t total, std::vector<SizeClassSpec> classes,
                       Clock::duration lease, ClockFn clock)
    : clock_(clock ? std::move(clock) : ClockFn([] { return Clock::now(); })) {
    // Sort, drop empty entries and merge equal sizes (their weights add up, saturating).
    std::vector<SizeClassSpec> specs;
    for (const auto& spec : classes) {
        if (spec.size != 0 && spec.weight != 0) specs.push_back(spec);
    }
    std::stable_sort(
        specs.begin(), specs.end(),
        [](const SizeClassSpec& a, const SizeClassSpec& b) { return a.size < b.size; });
    std::vector<SizeClassSpec> merged;
    for (const auto& spec : specs) {
        if (!merged.empty() && merged.back().size == spec.size) {
            uint64_t sum = uint64_t{merged.back().weight} + spec.weight;
            merged.back().weight = static_cast<uint32_t>(
                std::min<uint64_t>(sum, std::numeric_limits<uint32_t>::max()));
        } else {
            merged.push_back(spec);
        }
    }
    if (merged.empty()) merged.push_back({std::max<uint64_t>(total, 1), 1});

    // One slot for every class that fits, smallest first.
    std::vector<uint64_t> counts(merged.size(), 0);
    uint64_t remaining = total;
    for (size_t j = 0; j < merged.size(); ++j) {
        if (merged[j].size <= remaining) {
            counts[j] = 1;
            remaining -= merged[j].size;
        }
    }

    // Share the rest by smooth weighted round-robin among the classes that still fit: each
    // round every fitting class earns its weight, the richest (the smallest on a tie) gets a
    // slot and pays the total weight.
    uint64_t weight_sum = 0;
    for (const auto& spec : merged) weight_sum += spec.weight;
    const int64_t total_weight = static_cast<int64_t>(std::max<uint64_t>(weight_sum, 1));
    std::vector<int64_t> credit(merged.size(), 0);
    while (remaining > 0) {
        std::optional<size_t> picked;
        for (size_t j = 0; j < merged.size(); ++j) {
            if (merged[j].size > remaining) continue;
            credit[j] += merged[j].weight;
            if (!picked || credit[j] > credit[*picked]) picked = j;
        }
        if (!picked) break;
        counts[*picked] += 1;
        credit[*picked] -= total_weight;
        remaining -= merged[*picked].size;
    }

    uint64_t running_base = base;
    for (size_t j = 0; j < merged.size(); ++j) {
        if (counts[j] == 0) continue;
        auto size_class = std::make_unique<SizeClass>("class" + std::to_string(j), running_base,
                                                      merged[j].size, counts[j], lease);
        running_base = saturating_add(running_base, size_class->total);
        classes_.push_back(std::move(size_class));
    }
    // An area smaller than every class becomes one slot spanning all of it.
    if (classes_.empty()) {
        classes_.push_back(
            std::make_unique<SizeClass>("class0", base, std::max<uint64_t>(total, 1), 1, lease));
    }
}

TensorPool::TensorPool(TensorPool&&) noexcept = default;
TensorPool::~TensorPool() = default;

std::optional<uint64_t> TensorPool::allocate(uint64_t required) {
    if (required == 0) return std::nullopt;
    auto first = std::find_if(classes_.begin(), classes_.end(),
                              [&](const auto& c) { return c->slot_size >= required; });
    if (first == classes_.end()) return std::nullopt;
    for (auto it = first; it != classes_.end(); ++it) {
        if (auto offset = (*it)->try_allocate(required, clock_())) return offset;
    }
    return std::nullopt;
}

bool TensorPool::release(uint64_t offset) {
    auto it = std::find_if(classes_.begin(), classes_.end(),
                           [&](const auto& c) { return c->contains(offset); });
    if (it == classes_.end()) return false;
    SizeClass& size_class = **it;
    uint64_t relative = offset - size_class.base;
    if (relative % size_class.slot_size != 0) return false;
    uint64_t k = relative / size_class.slot_size;
    if (k >= size_class.slots) return false;
    std::lock_guard lock(size_class.mutex);
    size_class.leases[k] = Clock::time_point::min();
    return true;
}

uint64_t TensorPool::largest_slot() const {
    return classes_.empty() ? 0 : classes_.back()->slot_size;
}

std::string TensorPool::layout() const {
    std::string text;
    for (const auto& c : classes_) {
        if (!text.empty()) text += ", ";
        text += c->name + "(base=" + std::to_string(c->base) +
                " slot_size=" + std::to_string(c->slot_size) +
                " slots=" + std::to_string(c->slots) + ")";
    }
    return text;
}

std::string TensorPool::exhausted_message(uint64_t required) const {
    return "SHM tensor pool exhausted (required=" + std::to_string(required) +
           " bytes, largest_slot=" + std::to_string(largest_slot()) + " bytes, layout=" + layout() +
           ")";
}

}  // namespace zelto::shm
