// The engine behind ZeltoHybridClient: tensors in the shared region, a 52-byte control message
// over a local stream socket, run on the client's own I/O runtime.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/call_wait.hpp"
#include "shm/region.hpp"
#include "transport/errors.hpp"

namespace zelto::hybrid {

class HybridClient {
public:
    // Attaches to the region (a SharedMemory error when it cannot), builds the default pool over
    // its tensor area and starts the runtime (a Runtime error with the platform text). No
    // connection is opened: that happens on the first infer. `log` receives the attach record.
    static std::expected<std::unique_ptr<HybridClient>, Error> create(
        const std::string& shm_name, const std::string& socket_path, const shm::LogFn& log = {});
    virtual ~HybridClient() = default;

    // Fails with the attachment's errors (InvalidInput for an unknown dtype name or a shape of
    // more than 8 dimensions, PoolExhausted, Usage), the exchange's (Exchange, Server, Codec),
    // Runtime when the runtime cannot run the exchange, Codec for an output block outside the
    // region, Interrupted for a wait that `wait` interrupted and TimedOut ("Request timed out")
    // for one past its deadline. The output is the server's block data viewed in the region,
    // valid until this client's next call.
    //
    // A client used in a process forked after it was made fails at once: its connection is
    // shared with the parent and its runtime's workers live only there.
    virtual std::expected<std::span<const uint8_t>, Error> infer(
        std::span<const int64_t> shape, std::string_view dtype, std::span<const uint8_t> data,
        const platform::CallWait& wait) = 0;
};

}  // namespace zelto::hybrid
