// The engine behind ZeltoShmClient: request and response through the region's queues.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "shm/engine_error.hpp"
#include "shm/region.hpp"
#include "shm/tensor_pool.hpp"

namespace zelto::shm {

class ShmClient {
public:
    // How long a call waits for its response (and for its request to be published).
    static constexpr std::chrono::seconds kResponseTimeout{6};

    // Attaches to the region and builds the default pool over its tensor area. `log` receives
    // the attach record (see ShmRegion::open).
    static std::expected<ShmClient, EngineError> open(const std::string& shm_name,
                                                      const LogFn& log = {});

    // check_signals is called once per poll round; it returns false when a signal handler
    // raised, which ends the call with EngineError::Type::SignalRaised. The output is the
    // server's block data viewed in the region, valid until this client's next call.
    std::expected<std::span<const uint8_t>, EngineError> infer(
        std::span<const int64_t> shape, std::string_view dtype, std::span<const uint8_t> data,
        const std::function<bool()>& check_signals);

    const ShmRegion& region() const { return *region_; }

private:
    ShmClient(std::shared_ptr<ShmRegion> region, TensorPool pool);
    std::expected<std::span<const uint8_t>, EngineError> exchange(
        uint64_t id, uint64_t slot, std::span<const int64_t> shape, DType dtype,
        std::span<const uint8_t> data, const std::function<bool()>& check_signals);

    std::shared_ptr<ShmRegion> region_;
    TensorPool pool_;
    uint64_t next_request_id_ = 1;
};

}  // namespace zelto::shm
