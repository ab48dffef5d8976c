// How the client objects attached to one region stay out of each other's way, whether they live
// in one process or in several: none leases a slot another holds, no two send the same request
// id, and one shared-memory exchange at a time polls the response queue, so none consumes
// another's answer. The server sees none of this: its region, queues and entries are untouched.
//
// The clients of region NAME share a small object of their own, NAME + kObjectSuffix, made by
// the first client that needs it and reused by every later one (one per region name, never
// more; it outlives its clients, so that a request id is never handed out twice). It holds, as
// 64-bit words used with atomic operations only:
//   offset 0    the exchange turn: 0, or the holder's tag (16 bits) above the turn's expiry in
//               milliseconds of the monotonic clock (48 bits)
//   offset 8    the identity of the region object it serves: a server that makes a new region
//               of the same name gets a new object for its clients too
//   offset 16   the last request id handed out: every client takes the next one, so ids are
//               unique among the region's clients, also across the life of a client (a late
//               answer to a client that is gone can never be taken for another's), and a lone
//               client on a fresh region numbers from 1
//   offset 64   kLeaseWords lease words of the clients' tensor pools (see SharedLeases)
// Each client object takes a seat: the lowest number k whose byte lock at kSeatLocks + k on
// that object it can take. The lock lives as long as the client's open of the object, and dies
// with its process, so a seat is never held by a client that is gone, and a new client can tell
// whether the holder of a lease or of the turn still exists. Seat k tags its leases and turn
// with k + 1. Clients join one at a time, under a byte lock on the region object.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/call_wait.hpp"
#include "platform/shared_memory.hpp"
#include "shm/region.hpp"
#include "shm/tensor_pool.hpp"

namespace zelto::shm {

class RegionClients : public std::enable_shared_from_this<RegionClients> {
public:
    static constexpr const char* kObjectSuffix = ".zelto-clients";
    static constexpr uint64_t kLeaseWords = uint64_t{1} << 17;
    static constexpr uint64_t kSeatLocks = uint64_t{1} << 40;
    static constexpr uint64_t kSeats = 0xFFFF;
    static constexpr uint64_t kJoinLock = uint64_t{1} << 40;  // on the region object

    // Takes a seat among the clients of `region`. Returns nothing when the shared object
    // cannot be opened or made (no permission, no room), every seat is taken, or the region's
    // name now names another object: the client then works on its own, as if it were alone on
    // the region.
    static std::shared_ptr<RegionClients> join(ShmRegion& region);
    // Removes the clients' object of region `region_name`, for whoever removes the region
    // itself. Clients still attached keep their mapping of it.
    static void remove(const std::string& region_name);

    uint16_t tag() const { return static_cast<uint16_t>(seat_ + 1); }
    // The id of a new request.
    uint64_t next_request_id();
    // The pool's leases in the shared object.
    SharedLeases leases();

    // The exchange turn, held while the guard lives (which keeps its clients' object too).
    class Turn {
    public:
        Turn(Turn&& other) noexcept = default;
        Turn& operator=(Turn&&) = delete;
        ~Turn();

    private:
        friend class RegionClients;
        explicit Turn(std::shared_ptr<RegionClients> clients) : clients_(std::move(clients)) {}
        std::shared_ptr<RegionClients> clients_;
    };
    // Waits for the exchange turn until `deadline`, with the call's interruption checks; the
    // turn is held for at most `hold` (after that another client may take it, should this one
    // never give it back).
    std::expected<Turn, platform::WaitStop> take_turn(
        const platform::CallWait& wait, std::chrono::steady_clock::time_point deadline,
        std::chrono::steady_clock::duration hold);

private:
    RegionClients(platform::SharedMapping object, uint64_t seat)
        : object_(std::move(object)), seat_(seat) {}
    uint64_t& word(uint64_t offset) const;
    // Whether the client with `tag` still holds its seat.
    bool seat_taken(uint16_t tag) const;
    // Frees the leases and the turn that an earlier holder of this seat left behind.
    void forget_earlier_holder();

    platform::SharedMapping object_;
    uint64_t seat_;
};

}  // namespace zelto::shm
