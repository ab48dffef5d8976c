#include "shm/attachment.hpp"

#include "transport/tensor.hpp"

namespace zelto::shm {

RegionAttachment::RegionAttachment(std::shared_ptr<ShmRegion> region,
                                   std::shared_ptr<RegionClients> clients)
    : region_(std::move(region)),
      clients_(std::move(clients)),
      pool_(std::make_unique<TensorPool>(TensorPool::with_defaults(
          region_->tensor_area_offset(), region_->tensor_area_size(), clients_->leases()))) {}

std::expected<RegionAttachment, Error> RegionAttachment::open(const std::string& shm_name,
                                                              const LogFn& log) {
    // A region replaced between the open and the join is opened again: its clients' object
    // belongs to the new region.
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        auto region = ShmRegion::open(shm_name, log);
        if (!region) return std::unexpected(std::move(region.error()));
        if (attempt < kAttempts &&
            platform::SharedMapping::identity_of(shm_name) != (*region)->object().identity()) {
            continue;
        }
        auto clients = RegionClients::join(**region);
        if (!clients) return std::unexpected(std::move(clients.error()));
        return RegionAttachment(std::move(*region), std::move(*clients));
    }
}

bool RegionAttachment::replaced() const {
    const uint64_t now_named = platform::SharedMapping::identity_of(region_->name());
    return now_named != 0 && now_named != region_->object().identity();
}

std::optional<Error> RegionAttachment::refuse_in_other_process() const {
    if (!in_other_process()) return std::nullopt;
    return Error::created_in_other_process();
}

std::expected<SlotLease, Error> RegionAttachment::place_input(std::span<const int64_t> shape,
                                                              std::string_view dtype,
                                                              std::span<const uint8_t> data) {
    // A TensorBlock has room for 8 dimensions; refuse more before anything is leased or written.
    if (shape.size() > kMaxDims) {
        return std::unexpected(Error{ErrorKind::InvalidInput,
                                     "Invalid input: tensor has " + std::to_string(shape.size()) +
                                         " dimensions, at most 8 are supported"});
    }
    const uint64_t required = uint64_t{data.size()} + kTensorBlockHeaderSize;
    auto offset = pool_->allocate(required);
    if (!offset) {
        return std::unexpected(Error{ErrorKind::PoolExhausted, pool_->exhausted_message(required)});
    }
    SlotLease lease(*pool_, *offset);
    // The pool is checked before the element type: with both wrong, the pool's message wins.
    auto parsed = parse_dtype(dtype);
    if (!parsed) return std::unexpected(std::move(parsed.error()));
    // The slot's memory is made to exist before anything is written: on a full shared-memory
    // file system the write would otherwise kill the process (SIGBUS). The lease gives the slot
    // back when the call fails here.
    // Memory once made stays with the object, so each slot's is made once per attachment, as
    // far as its largest block reached.
    uint64_t& populated = populated_[lease.offset()];
    if (populated < required) {
        auto made = region_->object().populate(lease.offset(), required);
        if (!made) {
            return std::unexpected(
                Error{ErrorKind::PoolExhausted, "Shared memory error: " + made.error().message});
        }
        populated = required;
    }
    // The slot lies in the tensor area, which lies inside the region (checked at attach), and
    // is at least `required` bytes long, so the block fits.
    write_tensor_block(region_->base() + lease.offset(), shape, *parsed, data);
    return lease;
}

}  // namespace zelto::shm
