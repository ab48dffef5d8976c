// The engine behind ZeltoHybridClient: tensors in the shared region, a 52-byte control message
// over a local stream socket, run on the client's own I/O runtime.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shm/engine_error.hpp"

namespace zelto::hybrid {

class HybridClient {
public:
    static std::expected<std::unique_ptr<HybridClient>, EngineError> create(
        const std::string& shm_name, const std::string& socket_path);
    virtual ~HybridClient() = default;

    virtual std::expected<std::vector<uint8_t>, EngineError> infer(std::span<const int64_t> shape,
                                                                   std::string_view dtype,
                                                                   std::span<const uint8_t> data) = 0;
};

}  // namespace zelto::hybrid
