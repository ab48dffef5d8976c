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
#include "shm/engine_error.hpp"
#include "shm/region.hpp"

namespace zelto::hybrid {

class HybridClient {
public:
    // Attaches to the region (ConnectionError with the ShmError text), builds the default pool
    // over its tensor area and starts the runtime (RuntimeError with the platform text). No
    // connection is opened: that happens on the first infer. `log` receives the attach record.
    static std::expected<std::unique_ptr<HybridClient>, EngineError> create(
        const std::string& shm_name, const std::string& socket_path, const shm::LogFn& log = {});
    virtual ~HybridClient() = default;

    // Every failure is a RuntimeError, except an unknown dtype name and a shape of more than 8
    // dimensions (ValueError), a wait that `wait` interrupted (SignalRaised) and one past its
    // deadline (TimeoutError "Request timed out"). The output is the server's block data viewed
    // in the region, valid until this client's next call.
    //
    // A client used in a process forked after it was made fails at once: its connection is
    // shared with the parent and its runtime's workers live only there.
    virtual std::expected<std::span<const uint8_t>, EngineError> infer(
        std::span<const int64_t> shape, std::string_view dtype, std::span<const uint8_t> data,
        const platform::CallWait& wait) = 0;
};

}  // namespace zelto::hybrid
