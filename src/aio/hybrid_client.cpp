#include "aio/hybrid_client.hpp"

#include <utility>

#include "hybrid/control_messages.hpp"
#include "platform/nonblocking_socket.hpp"
#include "platform/wait_policy.hpp"
#include "transport/debug_notes.hpp"

namespace zelto::aio {

AsyncHybridClient::AsyncHybridClient(shm::RegionAttachment attachment, std::string socket_path)
    : attachment_(std::make_shared<shm::RegionAttachment>(std::move(attachment))),
      socket_path_(std::move(socket_path)) {}

AsyncHybridClient::~AsyncHybridClient() = default;

std::expected<std::unique_ptr<AsyncHybridClient>, Error> AsyncHybridClient::create(
    const std::string& shm_name, const std::string& socket_path, const shm::LogFn& log) {
    auto attachment = shm::RegionAttachment::open(shm_name, log);
    if (!attachment) return std::unexpected(attachment.error());
    return std::unique_ptr<AsyncHybridClient>(
        new AsyncHybridClient(std::move(*attachment), socket_path));
}

std::optional<Error> AsyncHybridClient::start(std::span<const int64_t> shape,
                                              std::string_view dtype, std::span<const uint8_t> data,
                                              HybridCall& call, std::chrono::nanoseconds spin) {
    if (!attachment_) return Error{ErrorKind::Usage, "Client is closed"};
    if (auto refused = attachment_->refuse_in_other_process()) return refused;
    // A call about to open a new connection first attaches to the region the name names now:
    // a server that restarted made a new one, and the new connection will reach that server.
    // Calls in flight keep the region they were placed in; the idle connections, all to the
    // old server, are dropped.
    call.cell = take_cell();
    if (!call.cell && attachment_->replaced()) {
        auto fresh = shm::RegionAttachment::open(attachment_->region().name(), {});
        if (!fresh) return std::move(fresh.error());
        attachment_ = std::make_shared<shm::RegionAttachment>(std::move(*fresh));
        idle_cells_.clear();
        debug_notes::note("region '" + attachment_->region().name() +
                          "' was made anew by a restarted server: attached to the new one");
    }
    if (!call.cell) call.cell = std::make_shared<hybrid::ConnectionCell>();
    call.attachment = attachment_;
    call.request_id = attachment_->take_request_id();
    auto slot = attachment_->place_input(shape, dtype, data);
    if (!slot) {
        keep_cell(std::move(call.cell));
        return std::move(slot.error());
    }
    call.slot.emplace(std::move(*slot));
    ++in_flight_;
    const uint64_t required = uint64_t{data.size()} + shm::kTensorBlockHeaderSize;
    hybrid::HybridRequest request{hybrid::RequestMetadata::build(call.request_id, 0, 0, 0),
                                  call.slot->offset(), required};
    call.exchange = std::make_unique<hybrid::HybridExchange>(call.cell, socket_path_, request);
    call.exchanged = call.exchange->try_complete(spin);
    return std::nullopt;
}

asio::awaitable<std::expected<shm::OutputView, Error>> AsyncHybridClient::finish(
    Runtime& runtime, HybridCall& call, CallControl& control) {
    hybrid::HybridExchange& exchange = *call.exchange;
    Runtime::Waiting waiting(runtime);
    // The only exchange waiting on the runtime spins for its answer a while, as the blocking
    // client does, before it parks the I/O thread in the reactor.
    if (!call.exchanged && runtime.waiting_exchanges() == 1)
        call.exchanged = exchange.try_complete(platform::kHybridSpin);
    if (!call.exchanged) {
        control.watch([&exchange](platform::WaitStop why) { exchange.stop(why); });
        auto exchanged = co_await hybrid::HybridExchange::finish(exchange, runtime.io());
        control.watch({});
        call.exchanged.emplace(std::move(exchanged));
    }
    co_return output(call);
}

std::expected<shm::OutputView, Error> AsyncHybridClient::output(HybridCall& call) {
    if (!*call.exchanged) return std::unexpected(std::move(call.exchanged->error()));
    // The server's offset is checked against the mapping before anything is read there.
    auto output = shm::output_block_data(call.attachment->region(), (*call.exchanged)->shm_offset);
    if (!output) return std::unexpected(Error{ErrorKind::Codec, std::move(output.error())});
    return shm::OutputView(*output, std::move(call.slot));
}

void AsyncHybridClient::ended(HybridCall& call) {
    // An exchange given up half way breaks its connection here.
    call.exchange.reset();
    call.slot.reset();
    // Only a connection to the region new calls use, while the client is open.
    if (call.cell && attachment_ && call.attachment == attachment_) keep_cell(std::move(call.cell));
    call.cell.reset();
    call.attachment.reset();
    if (in_flight_ > 0) --in_flight_;
}

std::shared_ptr<hybrid::ConnectionCell> AsyncHybridClient::take_cell() {
    while (!idle_cells_.empty()) {
        auto cell = std::move(idle_cells_.front());
        idle_cells_.erase(idle_cells_.begin());
        // In step: neither bytes nor the end of the stream wait on it (a server that went away
        // closed it); one that is not is closed with its cell.
        auto guard = cell->try_lock();
        if (guard && (**guard).has_value() &&
            platform::try_peek((**guard)->stream.handle()).not_ready())
            return cell;
    }
    return nullptr;
}

void AsyncHybridClient::keep_cell(std::shared_ptr<hybrid::ConnectionCell> cell) {
    // Only a connection in step that nobody else holds: a broken one is closed with its cell.
    {
        auto guard = cell->try_lock();
        if (!guard || !(**guard).has_value() || (**guard)->broken || !(**guard)->read_ahead.empty())
            return;
    }
    if (idle_cells_.size() < kIdleConnections) idle_cells_.push_back(std::move(cell));
}

void AsyncHybridClient::close() {
    idle_cells_.clear();
    attachment_.reset();
}

}  // namespace zelto::aio
