// The engine behind ZeltoShmClient: request and response through the region's queues.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
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

    // How late an answer is before the client asks whether its region was replaced, and how
    // often it asks again.
    static constexpr std::chrono::milliseconds kReattachCheck{100};

    // Every wait of the call asks `wait` whether to stop, once per poll round; a stop because
    // a signal handler raised ends the call with an Interrupted error, and the call ends by
    // `wait`'s deadline if it has one. The output is the server's block data viewed in the
    // region, valid while the OutputView lives and until this client's next call.
    //
    // When the answer is late (kReattachCheck) and the region's name now names a new region (a
    // server that restarted), the client attaches to the new one and sends the request there,
    // once per call; the old mapping is not used again.
    std::expected<OutputView, Error> infer(std::span<const int64_t> shape, std::string_view dtype,
                                           std::span<const uint8_t> data,
                                           const platform::CallWait& wait);

    const ShmRegion& region() const { return attachment_.region(); }

private:
    struct Input {
        std::span<const int64_t> shape;
        std::string_view dtype;
        std::span<const uint8_t> data;
    };
    enum class Sent { Answered, Replaced };

    explicit ShmClient(RegionAttachment attachment) : attachment_(std::move(attachment)) {}
    // Queues request `id`, whose block lies in `slot`, and waits for its answer. With
    // `replacement`, a late answer checks whether the region was replaced: the wait then ends
    // with Replaced and the new region's attachment in `replacement`.
    std::expected<Sent, Error> exchange(uint64_t id, SlotLease& slot, uint64_t data_size,
                                        std::chrono::steady_clock::time_point start,
                                        std::optional<RegionAttachment>* replacement,
                                        const platform::CallWait& wait,
                                        std::array<uint8_t, kResponseEntrySize>& answer);
    std::unexpected<Error> timed_out_noted(uint64_t id, Error error) const;

    RegionAttachment attachment_;
};

}  // namespace zelto::shm
