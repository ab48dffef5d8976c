// How the client objects attached to one region stay out of each other's way, whether they live
// in one process or in several: none leases a slot another holds, no two send the same request
// id, an answer taken from the response queue by a client that does not own it is handed to its
// owner, and an entry reserved by a producer that died is published on its behalf. The server
// sees none of this: its region, queues and entries are untouched. Any number of clients may have
// requests in flight at once; nobody waits for a region-wide turn.
//
// The clients of region NAME share a small object of their own, NAME + kObjectSuffix, made by
// the first client that needs it and reused by every later one (one per region name, never
// more; it outlives its clients, so that a request id is never handed out twice). It holds, as
// 64-bit words used with atomic operations only:
//   offset 8          the identity of the region object it serves: a server that makes a new
//                     region of the same name gets a new object for its clients too
//   offset 16         the last request id handed out: every client takes the next one, so ids
//                     are unique among the region's clients, also across the life of a client
//                     (a late answer to a client that is gone can never be taken for another's),
//                     and a lone client on a fresh region numbers from 1
//   kLeasesOffset     kLeaseWords lease words of the clients' tensor pools (see SharedLeases)
//   kMailboxesOffset  kMailboxes mailboxes of 64 bytes: a state word (below) and the 48 bytes
//                     of a response entry. A client registers one for a request before it
//                     queues it; whoever pops that request's answer puts it there.
//   kIntentsOffset    one word per seat: what the seat's producer is doing in the request queue
//                     (0 nothing, kReserving while it moves the queue's tail, kReserved | slot
//                     from then until it has published), so that a stalled queue can tell a
//                     producer that died from one that is slow
//   kAbandonedOffset  one word per request-queue slot: 1 while the slot holds a complete entry
//                     whose producer stopped waiting to publish it, for whoever finds the queue
//                     held up by it to publish
// Each client object takes a seat: the lowest number k whose byte lock at kSeatLocks + k on
// that object it can take (and whose intent word is clear: a dead producer's intent is kept as
// evidence until its entry has been published). The lock lives as long as the client's open of
// the object, and dies with its process, so a seat is never held by a client that is gone, and
// a client can tell whether the holder of a lease, a mailbox or an intent still exists. Seat k
// tags what it holds with k + 1. Clients join one at a time, under a byte lock on the region
// object.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "platform/shared_memory.hpp"
#include "shm/region.hpp"
#include "shm/tensor_pool.hpp"
#include "transport/errors.hpp"

namespace zelto::shm {

class RegionClients : public std::enable_shared_from_this<RegionClients> {
public:
    static constexpr const char* kObjectSuffix = ".zelto-clients";
    static constexpr uint64_t kLeaseWords = uint64_t{1} << 17;
    static constexpr uint64_t kSeats = 4095;  // tags 1 .. 4095 fit in 12 bits
    static constexpr uint64_t kMailboxes = 4096;
    static constexpr uint64_t kSeatLocks = uint64_t{1} << 40;
    static constexpr uint64_t kJoinLock = uint64_t{1} << 40;  // on the region object

    using ResponseBytes = std::array<uint8_t, kResponseEntrySize>;

    // Takes a seat among the clients of `region`. Fails (SharedMemory: "Shared memory error:
    // cannot join the other clients of this region: TEXT (os error N)") when the shared object
    // cannot be opened, made or mapped, when the join lock stays held for a second or when every
    // seat is taken: a client working alone would take the others' answers.
    static std::expected<std::shared_ptr<RegionClients>, Error> join(ShmRegion& region);
    // Removes the clients' object of region `region_name`, for whoever removes the region
    // itself. Clients still attached keep their mapping of it.
    static void remove(const std::string& region_name);

    uint16_t tag() const { return static_cast<uint16_t>(seat_ + 1); }
    // The id of a new request.
    uint64_t next_request_id();
    // The pool's leases in the shared object.
    SharedLeases leases();

    // The mailbox of one request, registered until the object goes: an answer to the request
    // that another client pops is put there.
    class Mailbox {
    public:
        Mailbox(Mailbox&& other) noexcept
            : clients_(std::move(other.clients_)), index_(other.index_), state_(other.state_) {}
        Mailbox& operator=(Mailbox&&) = delete;
        // Withdraws the registration. An answer being put there right now is waited for
        // briefly, so that the mailbox is never handed to another request mid-delivery.
        ~Mailbox();
        // The answer, once another client has delivered it; the mailbox stays registered.
        std::optional<ResponseBytes> delivered() const;

    private:
        friend class RegionClients;
        Mailbox(std::shared_ptr<RegionClients> clients, uint64_t index, uint64_t state)
            : clients_(std::move(clients)), index_(index), state_(state) {}
        std::shared_ptr<RegionClients> clients_;
        uint64_t index_;
        uint64_t state_;  // the registered state word: id and owner, no flags
    };
    // Registers a mailbox for request `id`; none when every mailbox it may use is taken by
    // living clients (thousands of requests in flight).
    std::optional<Mailbox> open_mailbox(uint64_t id);
    // Hands `entry`, an answer popped from the response queue, to the client waiting for it.
    // False when nobody waits for it (its client gave up or is gone): the answer is dropped.
    bool deliver(const ResponseBytes& entry);

    // What this client's producer is doing in the request queue, for stall diagnosis:
    // reserving() before it tries to move the tail, reserved(slot) once it has, idle() once the
    // entry is published. A producer that gives up waiting for its turn to publish calls
    // abandoned(slot) instead: its entry is complete, and whoever finds the queue held up by it
    // publishes it as it is.
    void reserving();
    void reserved(uint64_t slot);
    void idle();
    void abandoned(uint64_t slot);

    // What to do about request-queue slot `slot`, which holds the queue up.
    enum class Stall {
        Wait,          // its producer may be alive, or is not among the clients
        PublishAsIs,   // it was abandoned complete: publish it
        PublishEmpty,  // its producer died: write an empty request with id 0 and publish it
    };
    // Decides, and on anything but Wait the caller alone (no other caller gets the same answer
    // for the slot) must publish the slot at once.
    Stall claim_stalled(uint64_t slot);

private:
    RegionClients(platform::SharedMapping object, uint64_t seat)
        : object_(std::move(object)), seat_(seat) {}
    uint64_t& word(uint64_t offset) const;
    uint64_t& mailbox_state(uint64_t index) const;
    uint8_t* mailbox_entry(uint64_t index) const;
    uint64_t& intent(uint64_t seat) const;
    uint64_t& abandoned_word(uint64_t slot) const;
    // Whether the client with `tag` still holds its seat.
    bool seat_taken(uint16_t tag) const;
    // Frees the leases and mailboxes that an earlier holder of this seat left behind.
    void forget_earlier_holder();

    platform::SharedMapping object_;
    uint64_t seat_;
};

}  // namespace zelto::shm
