// An answer of the shared-memory or hybrid engine: the output block's data, viewed where it lies
// in the region, together with what keeps the server from being asked to reuse the block until
// the caller has copied it out (the region's exchange turn, for the shared-memory client).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "shm/region_clients.hpp"

namespace zelto::shm {

class OutputView {
public:
    explicit OutputView(std::span<const uint8_t> data,
                        std::optional<RegionClients::Turn> turn = std::nullopt)
        : data_(data), turn_(std::move(turn)) {}

    std::span<const uint8_t> data() const { return data_; }

private:
    std::span<const uint8_t> data_;
    std::optional<RegionClients::Turn> turn_;
};

}  // namespace zelto::shm
