#include "hybrid/control_messages.hpp"

#include <algorithm>

#include "platform/clock.hpp"
#include "shm/little_endian.hpp"
#include "transport/wire.hpp"

namespace zelto::hybrid {
namespace {

using shm::load_le;
using shm::store_le;

}  // namespace

RequestMetadata RequestMetadata::build(uint64_t request_id, uint32_t param_code, uint8_t param_a,
                                       uint8_t param_b) {
    RequestMetadata metadata;
    metadata.request_id = request_id;
    metadata.param_code = param_code;
    metadata.param_a = param_a;
    metadata.param_b = param_b;
    metadata.timestamp_ns = platform::wall_clock_ns();
    return metadata;
}

std::array<uint8_t, kHybridRequestSize> HybridRequest::encode() const {
    std::array<uint8_t, kHybridRequestSize> out{};
    uint8_t* p = out.data();
    store_le<uint64_t>(p + 0, metadata.request_id);
    store_le<uint32_t>(p + 8, metadata.param_code);
    p[12] = metadata.param_a;
    p[13] = metadata.param_b;
    p[14] = metadata.reserved[0];
    p[15] = metadata.reserved[1];
    store_le<uint64_t>(p + 16, metadata.timestamp_ns);
    store_le<uint64_t>(p + 24, shm_offset);
    store_le<uint64_t>(p + 32, shm_size);
    return out;
}

HybridRequest HybridRequest::decode(const uint8_t* p) {
    HybridRequest request;
    request.metadata.request_id = load_le<uint64_t>(p + 0);
    request.metadata.param_code = load_le<uint32_t>(p + 8);
    request.metadata.param_a = p[12];
    request.metadata.param_b = p[13];
    request.metadata.reserved = {p[14], p[15]};
    request.metadata.timestamp_ns = load_le<uint64_t>(p + 16);
    request.shm_offset = load_le<uint64_t>(p + 24);
    request.shm_size = load_le<uint64_t>(p + 32);
    return request;
}

FrameHeader hybrid_frame_header() {
    return FrameHeader{0, static_cast<uint32_t>(RequestKind::Hybrid),
                       static_cast<uint32_t>(kHybridRequestSize)};
}

std::array<uint8_t, kRequestFrameSize> encode_request_frame(const HybridRequest& request) {
    std::array<uint8_t, kRequestFrameSize> frame{};
    auto header = hybrid_frame_header().encode();
    auto body = request.encode();
    std::copy(header.begin(), header.end(), frame.begin());
    std::copy(body.begin(), body.end(), frame.begin() + FrameHeader::kSize);
    return frame;
}

std::expected<HybridResponse, std::string> HybridResponse::decode(
    std::span<const uint8_t> payload) {
    // Every field is fixed-width and every bit pattern is valid, so the only failure is a
    // payload that ends before the last field.
    if (payload.size() < kHybridResponseSize) {
        return std::unexpected(std::string(wire::kUnexpectedEof));
    }
    const uint8_t* p = payload.data();
    HybridResponse response;
    response.metadata.request_id = load_le<uint64_t>(p + 0);
    response.metadata.status = p[8];
    std::copy(p + 9, p + 16, response.metadata.reserved.begin());
    response.metadata.timestamp_ns = load_le<uint64_t>(p + 16);
    response.shm_offset = load_le<uint64_t>(p + 24);
    response.shm_size = load_le<uint64_t>(p + 32);
    return response;
}

std::array<uint8_t, kHybridResponseSize> HybridResponse::encode() const {
    std::array<uint8_t, kHybridResponseSize> out{};
    uint8_t* p = out.data();
    store_le<uint64_t>(p + 0, metadata.request_id);
    p[8] = metadata.status;
    std::copy(metadata.reserved.begin(), metadata.reserved.end(), p + 9);
    store_le<uint64_t>(p + 16, metadata.timestamp_ns);
    store_le<uint64_t>(p + 24, shm_offset);
    store_le<uint64_t>(p + 32, shm_size);
    return out;
}

std::string failure_text(std::span<const uint8_t> payload) {
    return utf8_lossy(payload);
}

}  // namespace zelto::hybrid
