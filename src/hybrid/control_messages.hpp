// The control messages of the hybrid pipe: the tensors lie in the shared region, and the pipe
// carries one small frame each way per request.
//
// Request frame, 52 bytes:
//   0 u32 model_id 0 | 4 u32 kind 4 (hybrid) | 8 u32 length 40 | 12 HybridRequest
//
// HybridRequest (40 bytes, little-endian, fields back to back):
//   0 RequestMetadata (24 bytes):
//       0 u64 request_id | 8 u32 param_code | 12 u8 param_a | 13 u8 param_b | 14 2 bytes 0 |
//      16 u64 timestamp_ns (wall clock, nanoseconds since the Unix epoch)
//  24 u64 shm_offset     region offset of the input TensorBlock
//  32 u64 shm_size       80 + the input's data length
//
// Response frame: u32 status | u32 payload_size | payload. Status 0 carries a HybridResponse
// (at least 40 bytes; only the first 40 are read), any other status the server's UTF-8 text.
//
// HybridResponse:
//   0 ResponseMetadata (24 bytes): u64 request_id | u8 status | 7 bytes | u64 timestamp_ns
//  24 u64 shm_offset     region offset of the output TensorBlock
//  32 u64 shm_size
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "transport/messages.hpp"

namespace zelto::hybrid {

inline constexpr size_t kRequestMetadataSize = 24;
inline constexpr size_t kHybridRequestSize = 40;
inline constexpr size_t kHybridResponseSize = 40;
inline constexpr size_t kRequestFrameSize = FrameHeader::kSize + kHybridRequestSize;

struct RequestMetadata {
    uint64_t request_id = 0;
    uint32_t param_code = 0;
    uint8_t param_a = 0;
    uint8_t param_b = 0;
    std::array<uint8_t, 2> reserved{};
    uint64_t timestamp_ns = 0;

    // Metadata for a request, stamped with the current wall-clock time; reserved bytes are 0.
    static RequestMetadata build(uint64_t request_id, uint32_t param_code, uint8_t param_a,
                                 uint8_t param_b);
};

struct HybridRequest {
    RequestMetadata metadata;
    uint64_t shm_offset = 0;
    uint64_t shm_size = 0;

    std::array<uint8_t, kHybridRequestSize> encode() const;
    // Servers and tests: reads exactly kHybridRequestSize bytes.
    static HybridRequest decode(const uint8_t* bytes);
};

// The frame header that precedes every HybridRequest: model 0, kind 4, length 40.
FrameHeader hybrid_frame_header();

// The whole 52-byte request frame: header and body.
std::array<uint8_t, kRequestFrameSize> encode_request_frame(const HybridRequest& request);

struct ResponseMetadata {
    uint64_t request_id = 0;
    uint8_t status = 0;
    std::array<uint8_t, 7> reserved{};
    uint64_t timestamp_ns = 0;
};

struct HybridResponse {
    ResponseMetadata metadata;
    uint64_t shm_offset = 0;
    uint64_t shm_size = 0;

    // Decodes the first 40 bytes of a status-0 payload and ignores the rest. A shorter payload
    // gives the decoder's end-of-input text.
    static std::expected<HybridResponse, std::string> decode(std::span<const uint8_t> payload);
    // Servers and tests.
    std::array<uint8_t, kHybridResponseSize> encode() const;
};

// The text of a failure response: UTF-8 with every invalid sequence replaced by U+FFFD.
std::string failure_text(std::span<const uint8_t> payload);

}  // namespace zelto::hybrid
