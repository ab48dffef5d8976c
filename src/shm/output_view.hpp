// An answer of the shared-memory engine: the output block's data, viewed where it lies in the
// region, together with the request's input slot. The slot stays leased until the caller has
// copied the output out: a server reuses an output block only once the request's slot has been
// used for another request (or the lease has run out), so no other request may be sent from it
// before then.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "shm/attachment.hpp"

namespace zelto::shm {

class OutputView {
public:
    explicit OutputView(std::span<const uint8_t> data, std::optional<SlotLease> slot = std::nullopt)
        : data_(data), slot_(std::move(slot)) {}

    std::span<const uint8_t> data() const { return data_; }

private:
    std::span<const uint8_t> data_;
    std::optional<SlotLease> slot_;
};

}  // namespace zelto::shm
