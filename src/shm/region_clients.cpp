#include "shm/region_clients.hpp"

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/call_wait.hpp"
#include "platform/os_error.hpp"
#include "shm/little_endian.hpp"
#include "shm/ring_buffer.hpp"

namespace zelto::shm {
namespace {

constexpr uint64_t kRegionIdentityOffset = 8;
constexpr uint64_t kLastRequestIdOffset = 16;
constexpr uint64_t kLeasesOffset = 64;
constexpr uint64_t kMailboxesOffset = kLeasesOffset + RegionClients::kLeaseWords * 8;
constexpr uint64_t kMailboxSize = 64;
constexpr uint64_t kMailboxEntryOffset = 16;  // the response entry, after two words
constexpr uint64_t kIntentsOffset = kMailboxesOffset + RegionClients::kMailboxes * kMailboxSize;
constexpr uint64_t kAbandonedOffset = kIntentsOffset + RegionClients::kSeats * 8;
constexpr uint64_t kObjectSize = kAbandonedOffset + RingBuffer::kCapacity * 8;

// A lease word's owner tag lives in its top 16 bits (see SharedLeases).
constexpr unsigned kLeaseTagShift = 48;

// A mailbox's state word: 0 when free, else the request id's low 46 bits, the owner's tag in the
// next 12, and two flags. Ids are handed out one by one from 1, so two requests in flight never
// share their low 46 bits.
constexpr uint64_t kMailboxIdMask = (uint64_t{1} << 46) - 1;
constexpr unsigned kMailboxTagShift = 46;
constexpr uint64_t kMailboxTagMask = uint64_t{0xFFF} << kMailboxTagShift;
constexpr uint64_t kMailboxClaimed = uint64_t{1} << 63;    // an answer is being put in
constexpr uint64_t kMailboxDelivered = uint64_t{1} << 62;  // the answer is there
// A request's mailbox is one of the kMailboxProbes that follow its id: a deliverer looks at all
// of them, so a withdrawn mailbox never hides a later one.
constexpr uint64_t kMailboxProbes = 64;
// How long a withdrawal waits for a delivery under way (a 48-byte copy) before it leaves the
// mailbox to its deliverer.
constexpr auto kDeliveryGrace = std::chrono::milliseconds(100);

constexpr uint64_t kIntentReserving = uint64_t{1} << 63;
constexpr uint64_t kIntentReserved = uint64_t{1} << 62;

uint16_t mailbox_tag(uint64_t state) {
    return static_cast<uint16_t>((state & kMailboxTagMask) >> kMailboxTagShift);
}

std::unexpected<Error> cannot_join(const std::string& os_text) {
    return std::unexpected(
        Error{ErrorKind::SharedMemory,
              "Shared memory error: cannot join the other clients of this region: " + os_text});
}

bool take_join_lock(platform::SharedMapping& region_object) {
    constexpr auto kGiveUpAfter = std::chrono::seconds(1);
    const auto until = std::chrono::steady_clock::now() + kGiveUpAfter;
    if (region_object.try_lock_byte(RegionClients::kJoinLock)) return true;
    // Opening a client has no call to interrupt: only the time limit ends this wait.
    const auto stop =
        platform::wait_in_slices(platform::unbounded_wait(), [&](platform::WaitSlice& slice) {
            if (slice.now() >= until) return platform::SliceResult::TimedOut;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return region_object.try_lock_byte(RegionClients::kJoinLock)
                       ? platform::SliceResult::Done
                       : platform::SliceResult::NotYet;
        });
    return !stop;
}

std::atomic_ref<uint64_t> atomic_word(uint64_t& word) {
    return std::atomic_ref<uint64_t>(word);
}

}  // namespace

std::expected<std::shared_ptr<RegionClients>, Error> RegionClients::join(ShmRegion& region) {
    platform::SharedMapping& region_object = region.object();
    const uint64_t identity = region_object.identity();
    // A region replaced since it was mapped has new clients, in a new object: a client of the
    // old one must not take theirs over. (Error 2 is "not found" on every platform.)
    constexpr int kNotFound = 2;
    if (identity == 0 || platform::SharedMapping::identity_of(region.name()) != identity)
        return cannot_join(platform::os_error(kNotFound).message);
    // Joining takes microseconds; a joiner that holds the lock far longer is stopped or stuck,
    // and waiting for it without end (deaf to signals) would be worse than failing.
    if (!take_join_lock(region_object)) return cannot_join(platform::lock_held_error().message);
    struct Unlock {
        platform::SharedMapping& object;
        ~Unlock() { object.unlock_byte(kJoinLock); }
    } unlock{region_object};

    const std::string name = region.name() + kObjectSuffix;
    auto object = platform::SharedMapping::open_or_create(name, kObjectSize, region.permissions());
    if (!object) return cannot_join(platform::os_error(object.error().os_errno).message);
    const uint64_t serves =
        atomic_word(*reinterpret_cast<uint64_t*>(object->base() + kRegionIdentityOffset)).load();
    if (serves != identity && serves != 0) {
        // Left by the clients of an earlier region of this name: start afresh. Its remaining
        // users keep their mapping of it, which their region no longer shares with anyone.
        platform::SharedMapping::unlink(name);
        object = platform::SharedMapping::open_or_create(name, kObjectSize, region.permissions());
        if (!object) return cannot_join(platform::os_error(object.error().os_errno).message);
    }
    atomic_word(*reinterpret_cast<uint64_t*>(object->base() + kRegionIdentityOffset))
        .store(identity);
    for (uint64_t seat = 0; seat < kSeats; ++seat) {
        // A seat whose dead holder left an intent keeps it as evidence of a stalled entry.
        uint64_t& seat_intent =
            *reinterpret_cast<uint64_t*>(object->base() + kIntentsOffset + seat * 8);
        if (atomic_word(seat_intent).load() != 0) continue;
        if (!object->try_lock_byte(kSeatLocks + seat)) continue;
        std::shared_ptr<RegionClients> clients(new RegionClients(std::move(*object), seat));
        clients->forget_earlier_holder();
        return clients;
    }
    return cannot_join(platform::lock_held_error().message);
}

void RegionClients::remove(const std::string& region_name) {
    platform::SharedMapping::unlink(region_name + kObjectSuffix);
}

uint64_t& RegionClients::word(uint64_t offset) const {
    return *reinterpret_cast<uint64_t*>(object_.base() + offset);
}

uint64_t& RegionClients::mailbox_state(uint64_t index) const {
    return word(kMailboxesOffset + index * kMailboxSize);
}

uint8_t* RegionClients::mailbox_entry(uint64_t index) const {
    return object_.base() + kMailboxesOffset + index * kMailboxSize + kMailboxEntryOffset;
}

uint64_t& RegionClients::intent(uint64_t seat) const {
    return word(kIntentsOffset + seat * 8);
}

uint64_t& RegionClients::abandoned_word(uint64_t slot) const {
    return word(kAbandonedOffset + slot * 8);
}

uint64_t RegionClients::next_request_id() {
    return atomic_word(word(kLastRequestIdOffset)).fetch_add(1) + 1;
}

bool RegionClients::seat_taken(uint16_t tag) const {
    if (tag == 0 || tag == this->tag()) return true;
    return object_.byte_locked_elsewhere(kSeatLocks + tag - 1);
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
    for (uint64_t& word : leases().words) {
        std::atomic_ref<uint64_t> lease(word);
        uint64_t seen = lease.load(std::memory_order_relaxed);
        if (seen != 0 && (seen >> kLeaseTagShift) == tag()) lease.compare_exchange_strong(seen, 0);
    }
    for (uint64_t index = 0; index < kMailboxes; ++index) {
        auto state = atomic_word(mailbox_state(index));
        uint64_t seen = state.load(std::memory_order_relaxed);
        // A delivery under way is left to finish; the mailbox is taken back by whoever needs it.
        if (seen != 0 && mailbox_tag(seen) == tag() &&
            ((seen & kMailboxClaimed) == 0 || (seen & kMailboxDelivered) != 0)) {
            state.compare_exchange_strong(seen, 0);
        }
    }
}

// ---- Mailboxes ------------------------------------------------------------------------------

std::optional<RegionClients::Mailbox> RegionClients::open_mailbox(uint64_t id) {
    const uint64_t mine = (id & kMailboxIdMask) | (uint64_t{tag()} << kMailboxTagShift);
    for (uint64_t probe = 0; probe < kMailboxProbes; ++probe) {
        const uint64_t index = (id + probe) % kMailboxes;
        auto state = atomic_word(mailbox_state(index));
        uint64_t seen = state.load();
        if (seen != 0) {
            // A mailbox of a client that is gone may be taken over, unless an answer is being
            // put in right now.
            const bool mid_delivery =
                (seen & kMailboxClaimed) != 0 && (seen & kMailboxDelivered) == 0;
            if (mid_delivery || seat_taken(mailbox_tag(seen))) continue;
        }
        if (state.compare_exchange_strong(seen, mine)) {
            return Mailbox(shared_from_this(), index, mine);
        }
    }
    return std::nullopt;
}

bool RegionClients::deliver(const ResponseBytes& entry) {
    const uint64_t id = load_le<uint64_t>(entry.data());
    for (uint64_t probe = 0; probe < kMailboxProbes; ++probe) {
        const uint64_t index = (id + probe) % kMailboxes;
        auto state = atomic_word(mailbox_state(index));
        uint64_t seen = state.load();
        if (seen == 0 || (seen & (kMailboxClaimed | kMailboxDelivered)) != 0 ||
            (seen & kMailboxIdMask) != (id & kMailboxIdMask)) {
            continue;
        }
        if (!state.compare_exchange_strong(seen, seen | kMailboxClaimed)) continue;
        std::memcpy(mailbox_entry(index), entry.data(), entry.size());
        state.store(seen | kMailboxClaimed | kMailboxDelivered, std::memory_order_release);
        return true;
    }
    return false;
}

std::optional<RegionClients::ResponseBytes> RegionClients::Mailbox::delivered() const {
    const uint64_t seen =
        atomic_word(clients_->mailbox_state(index_)).load(std::memory_order_acquire);
    if (seen != (state_ | kMailboxClaimed | kMailboxDelivered)) return std::nullopt;
    ResponseBytes entry;
    std::memcpy(entry.data(), clients_->mailbox_entry(index_), entry.size());
    return entry;
}

RegionClients::Mailbox::~Mailbox() {
    if (clients_ == nullptr) return;
    auto state = atomic_word(clients_->mailbox_state(index_));
    const auto give_up = std::chrono::steady_clock::now() + kDeliveryGrace;
    for (;;) {
        uint64_t seen = state.load();
        if ((seen & ~(kMailboxClaimed | kMailboxDelivered)) != state_) return;  // not ours now
        if ((seen & kMailboxClaimed) == 0 || (seen & kMailboxDelivered) != 0) {
            if (state.compare_exchange_strong(seen, 0)) return;
            continue;
        }
        // A deliverer is copying an answer in; it takes a moment. One that died doing so leaves
        // the mailbox marked with this client's tag, and it is taken back once this seat is.
        if (std::chrono::steady_clock::now() >= give_up) return;
        std::this_thread::yield();
    }
}

// ---- Producers' intents ----------------------------------------------------------------------

// Plain release stores: every call makes three, and a sequentially consistent one costs a full
// fence. Whoever finds the queue held up reads the tail before the intents, and the tail moves
// by a compare-and-swap that also releases: a producer's "reserving" is visible to whoever sees
// the tail it moved.
void RegionClients::reserving() {
    atomic_word(intent(seat_)).store(kIntentReserving, std::memory_order_release);
}

void RegionClients::reserved(uint64_t slot) {
    atomic_word(intent(seat_)).store(kIntentReserved | slot, std::memory_order_release);
}

void RegionClients::idle() {
    atomic_word(intent(seat_)).store(0, std::memory_order_release);
}

void RegionClients::abandoned(uint64_t slot) {
    // Recorded before the intent is cleared, so that a stalled queue always sees one of them.
    if (slot < RingBuffer::kCapacity) atomic_word(abandoned_word(slot)).store(1);
    idle();
}

RegionClients::Stall RegionClients::claim_stalled(uint64_t slot) {
    // An abandoned entry is complete and was certainly reserved by its producer: it may be
    // published whoever that was.
    if (slot >= RingBuffer::kCapacity) return Stall::Wait;
    uint64_t abandoned = 1;
    if (atomic_word(abandoned_word(slot)).compare_exchange_strong(abandoned, 0))
        return Stall::PublishAsIs;
    // The producer that reserved `slot` announced kReserving before it moved the tail onto it
    // and kReserved | slot right after, and cleared neither before it published. So if every
    // client that could be that producer is dead, it is dead.
    std::optional<uint64_t> holder;  // a dead seat that says it holds `slot`
    std::optional<uint64_t> maybe;   // a dead seat that died while reserving some slot
    for (uint64_t seat = 0; seat < kSeats; ++seat) {
        const uint64_t seen = atomic_word(intent(seat)).load();
        if (seen != kIntentReserving && seen != (kIntentReserved | slot)) continue;
        if (seat == seat_ || seat_taken(static_cast<uint16_t>(seat + 1))) return Stall::Wait;
        if (seen == kIntentReserving) {
            if (!maybe) maybe = seat;
        } else if (!holder) {
            holder = seat;
        }
    }
    const auto evidence = holder ? holder : maybe;
    if (!evidence) return Stall::Wait;  // a producer that is not among the clients
    uint64_t seen = holder ? (kIntentReserved | slot) : kIntentReserving;
    // Only the client that consumes the evidence publishes the entry.
    return atomic_word(intent(*evidence)).compare_exchange_strong(seen, 0) ? Stall::PublishEmpty
                                                                           : Stall::Wait;
}

}  // namespace zelto::shm
