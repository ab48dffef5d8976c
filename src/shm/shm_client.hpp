// The engine behind ZeltoShmClient: request and response through the region's queues.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "platform/call_wait.hpp"
#include "shm/attachment.hpp"
#include "shm/output_view.hpp"
#include "shm/region.hpp"
#include "transport/errors.hpp"

namespace zelto::shm {

class ShmClient {
public:
    // How long a call waits for its response (and for its request to be published).
    static constexpr std::chrono::seconds kResponseTimeout{6};

    // Attaches to the region and builds the default pool over its tensor area. `log` receives
    // the attach record (see ShmRegion::open).
    static std::expected<ShmClient, Error> open(const std::string& shm_name, const LogFn& log = {});

    // Every wait of the call asks `wait` whether to stop, once per poll round; a stop because
    // a signal handler raised ends the call with an Interrupted error. The output
    // is the server's block data viewed in the region, valid while the OutputView lives and
    // until this client's next call.
    std::expected<OutputView, Error> infer(std::span<const int64_t> shape, std::string_view dtype,
                                           std::span<const uint8_t> data,
                                           const platform::CallWait& wait);

    const ShmRegion& region() const { return attachment_.region(); }

private:
    explicit ShmClient(RegionAttachment attachment) : attachment_(std::move(attachment)) {}
    std::expected<OutputView, Error> exchange(uint64_t id, const SlotLease& slot,
                                              uint64_t data_size, const platform::CallWait& wait);

    RegionAttachment attachment_;
};

}  // namespace zelto::shm
