// The engine behind ZeltoShmClient: request and response through the region's queues.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shm/engine_error.hpp"
#include "shm/region.hpp"
#include "shm/tensor_pool.hpp"

namespace zelto::shm {

class ShmClient {
public:
    // Attaches to the region and builds the default pool over its tensor area.
    static std::expected<ShmClient, EngineError> open(const std::string& shm_name);

    // check_signals is called once per poll round; it returns false when a signal handler
    // raised, which ends the call with EngineError::Type::SignalRaised.
    std::expected<std::vector<uint8_t>, EngineError> infer(std::span<const int64_t> shape,
                                                           std::string_view dtype,
                                                           std::span<const uint8_t> data,
                                                           const std::function<bool()>& check_signals);

private:
    ShmClient(std::shared_ptr<ShmRegion> region, TensorPool pool);
    std::shared_ptr<ShmRegion> region_;
    TensorPool pool_;
    uint64_t next_request_id_ = 1;
};

}  // namespace zelto::shm
