// The entries of the region's two queues.
//
// RequestEntry (40 bytes, request queue):      ResponseEntry (48 bytes, response queue):
//    0 u64 request_id                             0 u64 request_id
//    8 u32 param_code                             8 u8  status (0 = success)
//   12 u8  param_a                                9 7 bytes, 16 u64: not used by clients
//   13 u8  param_b                               24 u64 output_offset (status 0)
//   14 2 bytes reserved (0)                      32 u64 not used by clients
//   16 u64 timestamp_ns (wall clock)             40 u64 error_offset (status != 0; 0 = no text)
//   24 u64 tensor_offset
//   32 u64 tensor_size (80 + data length)
#pragma once

#include <array>
#include <cstdint>

#include "shm/little_endian.hpp"
#include "shm/region.hpp"

namespace zelto::shm {

struct RequestEntry {
    uint64_t request_id = 0;
    uint32_t param_code = 0;
    uint8_t param_a = 0;
    uint8_t param_b = 0;
    uint64_t timestamp_ns = 0;
    uint64_t tensor_offset = 0;
    uint64_t tensor_size = 0;

    std::array<uint8_t, kRequestEntrySize> encode() const {
        std::array<uint8_t, kRequestEntrySize> out{};
        store_le<uint64_t>(out.data(), request_id);
        store_le<uint32_t>(out.data() + 8, param_code);
        out[12] = param_a;
        out[13] = param_b;
        store_le<uint64_t>(out.data() + 16, timestamp_ns);
        store_le<uint64_t>(out.data() + 24, tensor_offset);
        store_le<uint64_t>(out.data() + 32, tensor_size);
        return out;
    }

    static RequestEntry decode(const uint8_t* in) {
        return RequestEntry{load_le<uint64_t>(in),
                            load_le<uint32_t>(in + 8),
                            in[12],
                            in[13],
                            load_le<uint64_t>(in + 16),
                            load_le<uint64_t>(in + 24),
                            load_le<uint64_t>(in + 32)};
    }
};

struct ResponseEntry {
    uint64_t request_id = 0;
    uint8_t status = 0;
    uint64_t output_offset = 0;
    uint64_t error_offset = 0;

    std::array<uint8_t, kResponseEntrySize> encode() const {
        std::array<uint8_t, kResponseEntrySize> out{};
        store_le<uint64_t>(out.data(), request_id);
        out[8] = status;
        store_le<uint64_t>(out.data() + 24, output_offset);
        store_le<uint64_t>(out.data() + 40, error_offset);
        return out;
    }

    static ResponseEntry decode(const uint8_t* in) {
        return ResponseEntry{load_le<uint64_t>(in), in[8], load_le<uint64_t>(in + 24),
                             load_le<uint64_t>(in + 40)};
    }
};

}  // namespace zelto::shm
