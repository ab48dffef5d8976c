#include "shm/region_clients.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/clock.hpp"
#include "platform/wait_policy.hpp"

namespace zelto::shm {
namespace {

constexpr uint64_t kTurnOffset = 0;
constexpr uint64_t kRegionIdentityOffset = 8;
constexpr uint64_t kLastRequestIdOffset = 16;
constexpr uint64_t kLeasesOffset = 64;
constexpr uint64_t kObjectSize = kLeasesOffset + RegionClients::kLeaseWords * 8;
constexpr unsigned kTagShift = 48;
constexpr uint64_t kExpiryMask = (uint64_t{1} << kTagShift) - 1;
// How often a client waiting for the turn asks whether its holder still exists.
constexpr auto kHolderCheckEvery = std::chrono::milliseconds(10);

uint16_t tag_of(uint64_t word) {
    return static_cast<uint16_t>(word >> kTagShift);
}

uint64_t now_ms(std::chrono::steady_clock::time_point now) {
    auto ms = std::chrono::floor<std::chrono::milliseconds>(now.time_since_epoch()).count();
    return std::clamp<uint64_t>(ms > 0 ? static_cast<uint64_t>(ms) : 0, 0, kExpiryMask);
}

bool take_join_lock(platform::SharedMapping& region_object) {
    constexpr auto kGiveUpAfter = std::chrono::seconds(1);
    const auto until = std::chrono::steady_clock::now() + kGiveUpAfter;
    while (!region_object.try_lock_byte(RegionClients::kJoinLock)) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

std::shared_ptr<RegionClients> RegionClients::join(ShmRegion& region) {
    platform::SharedMapping& region_object = region.object();
    const uint64_t identity = region_object.identity();
    // A client of a region that was replaced since it attached stays on its own: the clients'
    // object now belongs to the new region.
    if (identity == 0 || platform::SharedMapping::identity_of(region.name()) != identity)
        return nullptr;
    // Joining takes microseconds; a joiner that holds the lock far longer is stopped or stuck,
    // and waiting for it without end (deaf to signals) would be worse than working alone.
    if (!take_join_lock(region_object)) return nullptr;
    struct Unlock {
        platform::SharedMapping& object;
        ~Unlock() { object.unlock_byte(kJoinLock); }
    } unlock{region_object};

    const std::string name = region.name() + kObjectSuffix;
    auto object = platform::SharedMapping::open_or_create(name, kObjectSize, region.permissions());
    if (!object) return nullptr;
    std::atomic_ref<uint64_t> serves(
        *reinterpret_cast<uint64_t*>(object->base() + kRegionIdentityOffset));
    if (serves.load() != identity && serves.load() != 0) {
        // Left by the clients of an earlier region of this name: start afresh. Its remaining
        // users keep their mapping of it, which their region no longer shares with anyone.
        platform::SharedMapping::unlink(name);
        object = platform::SharedMapping::open_or_create(name, kObjectSize, region.permissions());
        if (!object) return nullptr;
    }
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(object->base() + kRegionIdentityOffset))
        .store(identity);
    for (uint64_t seat = 0; seat < kSeats; ++seat) {
        if (!object->try_lock_byte(kSeatLocks + seat)) continue;
        std::shared_ptr<RegionClients> clients(new RegionClients(std::move(*object), seat));
        clients->forget_earlier_holder();
        return clients;
    }
    return nullptr;
}

void RegionClients::remove(const std::string& region_name) {
    platform::SharedMapping::unlink(region_name + kObjectSuffix);
}

uint64_t& RegionClients::word(uint64_t offset) const {
    return *reinterpret_cast<uint64_t*>(object_.base() + offset);
}

uint64_t RegionClients::next_request_id() {
    return std::atomic_ref<uint64_t>(word(kLastRequestIdOffset)).fetch_add(1) + 1;
}

bool RegionClients::seat_taken(uint16_t tag) const {
    return tag == 0 || object_.byte_locked_elsewhere(kSeatLocks + tag - 1);
}

SharedLeases RegionClients::leases() {
    SharedLeases leases;
    leases.words =
        std::span(reinterpret_cast<uint64_t*>(object_.base() + kLeasesOffset), kLeaseWords);
    leases.owner = tag();
    leases.owner_alive = [self = weak_from_this()](uint16_t tag) {
        auto clients = self.lock();
        return !clients || clients->seat_taken(tag);
    };
    return leases;
}

void RegionClients::forget_earlier_holder() {
    // Whoever held this seat before is gone (its lock died with it), and so are its claims.
    auto words = leases().words;
    for (uint64_t& word : words) {
        std::atomic_ref<uint64_t> lease(word);
        uint64_t seen = lease.load(std::memory_order_relaxed);
        if (seen != 0 && tag_of(seen) == tag()) lease.compare_exchange_strong(seen, 0);
    }
    std::atomic_ref<uint64_t> turn(word(kTurnOffset));
    uint64_t seen = turn.load();
    if (seen != 0 && tag_of(seen) == tag()) turn.compare_exchange_strong(seen, 0);
}

std::expected<RegionClients::Turn, platform::WaitStop> RegionClients::take_turn(
    const platform::CallWait& wait, std::chrono::steady_clock::time_point deadline,
    std::chrono::steady_clock::duration hold) {
    std::atomic_ref<uint64_t> turn(word(kTurnOffset));
    platform::MicroWait pause;
    auto next_check = std::chrono::steady_clock::time_point::min();
    auto next_holder_check = std::chrono::steady_clock::time_point::min();
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const uint64_t mine =
            (uint64_t{tag()} << kTagShift) | std::max<uint64_t>(now_ms(now + hold), 1);
        uint64_t seen = turn.load(std::memory_order_acquire);
        bool free = seen == 0 || (seen & kExpiryMask) <= now_ms(now);
        if (!free && now >= next_holder_check) {
            // A holder that died keeps its claim until it expires; its seat tells sooner.
            free = !seat_taken(tag_of(seen));
            next_holder_check = now + kHolderCheckEvery;
        }
        if (free && turn.compare_exchange_strong(seen, mine)) return Turn(shared_from_this());
        if (now >= deadline || wait.expired(now))
            return std::unexpected(platform::WaitStop::TimedOut);
        if (now >= next_check) {
            if (wait.must_stop()) return std::unexpected(platform::WaitStop::Interrupted);
            next_check = now + platform::kWaitSlice;
        }
        pause.pause();
    }
}

RegionClients::Turn::~Turn() {
    if (clients_ == nullptr) return;
    std::atomic_ref<uint64_t> turn(clients_->word(kTurnOffset));
    uint64_t seen = turn.load(std::memory_order_relaxed);
    // Given back only if still ours: a turn held past its expiry may have passed to another.
    if (tag_of(seen) == clients_->tag()) turn.compare_exchange_strong(seen, 0);
}

}  // namespace zelto::shm
