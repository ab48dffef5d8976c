#include "hybrid/hybrid_client.hpp"

#include <string>

#include "hybrid/connection_cell.hpp"
#include "hybrid/control_messages.hpp"
#include "hybrid/hybrid_exchange.hpp"
#include "hybrid/io_runtime.hpp"
#include "platform/wait_policy.hpp"
#include "shm/attachment.hpp"
#include "transport/debug_notes.hpp"
#include "transport/tensor.hpp"

namespace zelto::hybrid {
namespace {

std::unexpected<Error> failure(ErrorKind kind, std::string message) {
    return std::unexpected(Error{kind, std::move(message)});
}

class HybridClientImpl final : public HybridClient {
public:
    HybridClientImpl(shm::RegionAttachment attachment, std::string socket_path,
                     std::unique_ptr<IoRuntime> runtime)
        : runtime_(std::move(runtime)),
          cell_(std::make_shared<ConnectionCell>()),
          socket_path_(std::move(socket_path)),
          attachment_(std::move(attachment)) {}

    // In a forked child the runtime is left as it is, on purpose: its workers exist only in the
    // parent (joining them would wait for ever) and its event loop's descriptors are shared with
    // the parent's. The connection is only closed here, never shut down, for the same reason.
    ~HybridClientImpl() override {
        if (attachment_.in_other_process()) (void)runtime_.release();
    }

    std::expected<std::span<const uint8_t>, Error> infer(std::span<const int64_t> shape,
                                                         std::string_view dtype,
                                                         std::span<const uint8_t> data,
                                                         const platform::CallWait& wait) override;

private:
    // Whether this client has opened its connection (or an exchange holds the cell).
    bool connection_opened() const {
        auto guard = cell_->try_lock();
        return !guard || (**guard).has_value();
    }
    // A client that has not opened its connection yet attaches to the region its name names
    // now: a server that restarted made a new one, and its connection will reach that server.
    std::optional<Error> follow_replaced_region();

    // Members are destroyed bottom up: the attachment first (pool, seat, region share), then
    // the path, the cell share (closing the connection when no exchange holds it) and last the
    // runtime, whose workers are joined.
    std::unique_ptr<IoRuntime> runtime_;
    std::shared_ptr<ConnectionCell> cell_;
    std::string socket_path_;
    shm::RegionAttachment attachment_;
};

std::optional<Error> HybridClientImpl::follow_replaced_region() {
    if (connection_opened() || !attachment_.replaced()) return std::nullopt;
    // No attach record: the call may run without the interpreter lock, and the log receiver is
    // Python's.
    auto fresh = shm::RegionAttachment::open(attachment_.region().name(), {});
    if (!fresh) return std::move(fresh.error());
    // The old attachment is dropped whole, its pool before the seat that holds its leases.
    (void)std::exchange(attachment_, std::move(*fresh));
    debug_notes::note("region '" + attachment_.region().name() +
                      "' was made anew by a restarted server: attached to the new one");
    return std::nullopt;
}

std::expected<std::span<const uint8_t>, Error> HybridClientImpl::infer(
    std::span<const int64_t> shape, std::string_view dtype, std::span<const uint8_t> data,
    const platform::CallWait& wait) {
    if (auto refused = attachment_.refuse_in_other_process()) return std::unexpected(*refused);
    if (auto failed = follow_replaced_region()) return std::unexpected(std::move(*failed));
    // The id is used up whatever happens next, so ids seen by the server may have gaps.
    const uint64_t request_id = attachment_.take_request_id();
    auto slot = attachment_.place_input(shape, dtype, data);
    if (!slot) return std::unexpected(slot.error());
    const uint64_t required = uint64_t{data.size()} + shm::kTensorBlockHeaderSize;

    HybridRequest request{RequestMetadata::build(request_id, 0, 0, 0), slot->offset(), required};
    // The calling thread drives the exchange itself as long as it need not park; the rest runs
    // on the runtime, which parks the caller until a worker completes the stream's transfer.
    // A large request gets a longer spin: the server needs longer to answer it.
    HybridExchange exchange(cell_, socket_path_, request);
    std::optional<ExchangeResult> exchanged =
        exchange.try_complete(platform::spin_for_payload(platform::kHybridSpin, data.size()));
    if (!exchanged) {
        auto finished = runtime_->run_to_completion(
            HybridExchange::finish(exchange, runtime_->io_context()), wait,
            [&exchange](platform::WaitStop why) { exchange.stop(why); });
        if (auto why = exchange.stopped()) {
            if (*why == platform::WaitStop::TimedOut)
                debug_notes::note("hybrid request " + std::to_string(request_id) + " to '" +
                                  socket_path_ + "' timed out");
            return std::unexpected(Error::stopped(*why));
        }
        if (!finished) return failure(ErrorKind::Runtime, std::move(finished.error()));
        exchanged = std::move(*finished);
    }
    if (!*exchanged) return std::unexpected(std::move(exchanged->error()));

    // The server's offset is checked against the mapping before anything is read there.
    auto output = shm::output_block_data(attachment_.region(), (*exchanged)->shm_offset);
    if (!output) return failure(ErrorKind::Codec, std::move(output.error()));
    return *output;
}

}  // namespace

std::expected<std::unique_ptr<HybridClient>, Error> HybridClient::create(
    const std::string& shm_name, const std::string& socket_path, const shm::LogFn& log) {
    auto attachment = shm::RegionAttachment::open(shm_name, log);
    if (!attachment) return std::unexpected(attachment.error());
    // On failure the pool, the seat and the region are released on the way out.
    auto runtime = IoRuntime::create();
    if (!runtime) return failure(ErrorKind::Runtime, std::move(runtime.error().message));
    return std::make_unique<HybridClientImpl>(std::move(*attachment), socket_path,
                                              std::move(*runtime));
}

}  // namespace zelto::hybrid
