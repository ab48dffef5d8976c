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

// A lease word: the holder's tag in the top 16 bits, the expiry in milliseconds below.
constexpr unsigned kTagShift = 48;
constexpr uint64_t kExpiryMask = (uint64_t{1} << kTagShift) - 1;

uint16_t tag_of(uint64_t word) {
    return static_cast<uint16_t>(word >> kTagShift);
}

// Milliseconds of the monotonic clock, rounded down (a time read now) or up (an expiry), so a
// lease never ends before its full duration. Kept within 48 bits and above 0.
uint64_t clock_ms(TensorPool::Clock::time_point t, bool round_up) {
    auto since = t.time_since_epoch();
    if (since.count() <= 0) return 1;
    auto ms = round_up ? std::chrono::ceil<std::chrono::milliseconds>(since)
                       : std::chrono::floor<std::chrono::milliseconds>(since);
    return std::clamp<uint64_t>(static_cast<uint64_t>(ms.count()), 1, kExpiryMask);
}

uint64_t expiry_ms(TensorPool::Clock::time_point now, TensorPool::Clock::duration lease) {
    using TP = TensorPool::Clock::time_point;
    if (lease.count() > 0 && now > TP::max() - lease) return kExpiryMask;
    return clock_ms(now + lease, true);
}

bool is_free(uint64_t word, uint64_t now_ms) {
    return word == 0 || (word & kExpiryMask) <= now_ms;
}

}  // namespace

// One size class: `slots` slots of `slot_size` bytes from `base`, whose leases are the lease
// words from `first_word` on. A slot is free when its word is 0 or its lease has run out, and
// taken by one compare-and-swap on that word, so holders in other processes need no lock.
struct TensorPool::SizeClass {
    SizeClass(std::string name, uint64_t base, uint64_t slot_size, uint64_t slots,
              Clock::duration lease, uint64_t first_word)
        : name(std::move(name)),
          base(base),
          slot_size(slot_size),
          slots(slots),
          total(saturating_mul(slot_size, slots)),
          lease_duration(lease),
          first_word(first_word) {}

    std::optional<uint64_t> try_allocate(uint64_t required, Clock::time_point now,
                                         const SharedLeases& leases) {
        if (required > slot_size) return std::nullopt;
        const uint64_t now_ms = clock_ms(now, false);
        const uint64_t taken =
            (uint64_t{leases.owner} << kTagShift) | expiry_ms(now, lease_duration);
        uint64_t start = cursor.fetch_add(1, std::memory_order_relaxed) % slots;
        for (uint64_t i = 0; i < slots; ++i) {
            uint64_t k = (start + i) % slots;
            std::atomic_ref<uint64_t> word(lease_word(leases, k));
            uint64_t seen = word.load(std::memory_order_acquire);
            if (is_free(seen, now_ms) && word.compare_exchange_strong(seen, taken)) {
                return base + k * slot_size;
            }
        }
        return std::nullopt;
    }

    uint64_t& lease_word(const SharedLeases& leases, uint64_t k) const {
        return leases.words[(first_word + k) % leases.words.size()];
    }

    bool contains(uint64_t offset) const { return offset >= base && offset - base < total; }

    const std::string name;
    const uint64_t base;
    const uint64_t slot_size;
    const uint64_t slots;
    const uint64_t total;
    std::atomic<uint64_t> cursor{0};
    const Clock::duration lease_duration;
    const uint64_t first_word;  // the ordinal of this class's first slot over all classes
};

std::vector<SizeClassSpec> TensorPool::default_classes() {
    return {{262'144, 1}, {1'048'576, 1}, {4'194'304, 1}, {16'777'216, 1}, {67'108'864, 1}};
}

TensorPool::TensorPool(uint64_t base, uint64_t total, std::vector<SizeClassSpec> classes,
                       Clock::duration lease, ClockFn clock, SharedLeases shared)
    : clock_(clock ? std::move(clock) : ClockFn([] { return Clock::now(); })),
      leases_(std::move(shared)) {
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
    uint64_t ordinal = 0;
    for (size_t j = 0; j < merged.size(); ++j) {
        if (counts[j] == 0) continue;
        auto size_class = std::make_unique<SizeClass>("class" + std::to_string(j), running_base,
                                                      merged[j].size, counts[j], lease, ordinal);
        running_base = saturating_add(running_base, size_class->total);
        ordinal = saturating_add(ordinal, counts[j]);
        classes_.push_back(std::move(size_class));
    }
    // An area smaller than every class becomes one slot spanning all of it.
    if (classes_.empty()) {
        classes_.push_back(
            std::make_unique<SizeClass>("class0", base, std::max<uint64_t>(total, 1), 1, lease, 0));
    }
    if (leases_.words.empty()) {
        // A word per slot, all free, owned by this pool alone.
        const uint64_t count = std::max<uint64_t>(slot_count(), 1);
        own_words_ = std::make_unique<uint64_t[]>(count);
        leases_.words = std::span(own_words_.get(), count);
        leases_.owner = 1;
        leases_.owner_alive = {};
    }
}

TensorPool::TensorPool(TensorPool&&) noexcept = default;
TensorPool::~TensorPool() = default;

std::optional<uint64_t> TensorPool::allocate(uint64_t required) {
    if (required == 0) return std::nullopt;
    if (auto offset = try_classes(required)) return offset;
    // Everything is leased: leases of holders that are gone are taken back, then one more try.
    if (reclaim_abandoned()) return try_classes(required);
    return std::nullopt;
}

std::optional<uint64_t> TensorPool::try_classes(uint64_t required) {
    auto first = std::find_if(classes_.begin(), classes_.end(),
                              [&](const auto& c) { return c->slot_size >= required; });
    if (first == classes_.end()) return std::nullopt;
    for (auto it = first; it != classes_.end(); ++it) {
        if (auto offset = (*it)->try_allocate(required, clock_(), leases_)) return offset;
    }
    return std::nullopt;
}

bool TensorPool::reclaim_abandoned() {
    if (!leases_.owner_alive) return false;
    bool freed = false;
    for (uint64_t i = 0; i < leases_.words.size() && i < slot_count(); ++i) {
        std::atomic_ref<uint64_t> word(leases_.words[i]);
        uint64_t seen = word.load(std::memory_order_acquire);
        if (seen == 0 || tag_of(seen) == leases_.owner || leases_.owner_alive(tag_of(seen)))
            continue;
        freed |= word.compare_exchange_strong(seen, 0);
    }
    return freed;
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
    std::atomic_ref<uint64_t> word(size_class.lease_word(leases_, k));
    uint64_t seen = word.load(std::memory_order_acquire);
    // Only this pool's own lease is freed: once it ran out, another holder may have the slot.
    while (seen != 0 && tag_of(seen) == leases_.owner) {
        if (word.compare_exchange_weak(seen, 0)) return true;
    }
    return true;
}

uint64_t TensorPool::slot_count() const {
    uint64_t count = 0;
    for (const auto& c : classes_) count = saturating_add(count, c->slots);
    return count;
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
