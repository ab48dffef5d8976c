// The engine behind zelto_sdk.aio.ZeltoHybridClient: the blocking hybrid client's steps (the
// input placed in a slot of the region, the 52-byte exchange on the client's connection), with
// the exchange finished on the asyncio runtime instead of a runtime of the client's own.
//
// A call starts on the caller's thread (start): the region check, the input placed, and the
// exchange driven as far as it goes without waiting. The rest runs on the runtime's I/O thread
// (finish). Each call in flight has a connection of its own, and keeps it, with its input slot,
// until its output is copied out: the server frees a connection's previous answer block when it
// reads that connection's next request, and an answer's block when its input slot carries
// another request. Connections whose call ended in step are kept for later calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "aio/call_control.hpp"
#include "aio/runtime.hpp"
#include "hybrid/connection_cell.hpp"
#include "hybrid/hybrid_exchange.hpp"
#include "shm/attachment.hpp"
#include "shm/output_view.hpp"
#include "transport/errors.hpp"

namespace zelto::aio {

// One hybrid call between start and finish.
struct HybridCall {
    // The region the call was placed in (the slot below is its), and the call's connection.
    std::shared_ptr<shm::RegionAttachment> attachment;
    std::shared_ptr<hybrid::ConnectionCell> cell;
    std::optional<shm::SlotLease> slot;
    std::unique_ptr<hybrid::HybridExchange> exchange;
    std::optional<hybrid::ExchangeResult> exchanged;  // when it ended on the caller's thread
    uint64_t request_id = 0;
};

class AsyncHybridClient {
public:
    // Attaches to the region as the blocking client does; nothing else is opened yet.
    static std::expected<std::unique_ptr<AsyncHybridClient>, Error> create(
        const std::string& shm_name, const std::string& socket_path, const shm::LogFn& log = {});
    ~AsyncHybridClient();

    // On the caller's thread: refused in a forked child; the input placed and the exchange
    // driven as far as it goes within `spin` (`exchanged` is set if it ended). `call` is filled
    // in place.
    std::optional<Error> start(std::span<const int64_t> shape, std::string_view dtype,
                               std::span<const uint8_t> data, HybridCall& call,
                               std::chrono::nanoseconds spin);
    // The output of a call whose exchange ended, viewed in the region (holding the call's slot).
    std::expected<shm::OutputView, Error> output(HybridCall& call);
    // On the runtime's I/O thread: the rest of the exchange, then the output viewed in the
    // region (holding the call's slot).
    asio::awaitable<std::expected<shm::OutputView, Error>> finish(Runtime& runtime,
                                                                  HybridCall& call,
                                                                  CallControl& control);
    // A call over (its output copied out or dropped), on the caller's thread.
    void ended(HybridCall& call);
    // Lets go of the connections and of the region (calls in flight keep theirs).
    void close();
    // Calls started and not ended.
    uint64_t in_flight() const { return in_flight_; }

private:
    AsyncHybridClient(shm::RegionAttachment attachment, std::string socket_path);

    // The region new calls are placed in; a call in flight holds the one it was placed in, so
    // the client can follow a replaced region at any time.
    std::shared_ptr<shm::RegionAttachment> attachment_;
    std::string socket_path_;
    // A connection kept for later calls that is still in step (the oldest first), or null.
    std::shared_ptr<hybrid::ConnectionCell> take_cell();
    void keep_cell(std::shared_ptr<hybrid::ConnectionCell> cell);

    static constexpr size_t kIdleConnections = 8;
    std::vector<std::shared_ptr<hybrid::ConnectionCell>> idle_cells_;
    uint64_t in_flight_ = 0;  // calls started and not ended (caller's thread)
};

}  // namespace zelto::aio
