// A region laid out like the reference server's, for engine tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <random>
#include <string>

#include "platform/shared_memory.hpp"
#include "shm/region.hpp"
#include "shm/region_clients.hpp"
#include "shm/ring_buffer.hpp"

namespace zelto::shm::testing {

// A name no other test, in this process or in one running beside it, uses.
inline std::string unique_region_name(const std::string& tag) {
    static const unsigned process = std::random_device{}();
    static std::atomic<int> counter{0};
    return "zelto-test-" + tag + "-" + std::to_string(process) + "-" + std::to_string(counter++);
}

// Header at 0, request queue at 64, response queue after it, then the tensor area (page
// aligned), then `extra` bytes that tests use as the server's output area.
class TestRegion {
public:
    static constexpr uint64_t kRequestQueue = 64;
    static constexpr uint64_t kResponseQueue = kRequestQueue + kQueueCells * kRequestEntrySize;
    static constexpr uint64_t kTensorArea = 94208;

    explicit TestRegion(const std::string& tag, uint64_t tensor_area = 2 << 20,
                        uint64_t extra = 1 << 20)
        : name_(unique_region_name(tag)),
          mapping_(platform::SharedMapping::create(name_, kTensorArea + tensor_area + extra, true)
                       .value()),
          layout_{kRequestQueue, kResponseQueue, kTensorArea, tensor_area} {
        write_region_header(mapping_.base(), layout_);
        requests().initialize();
        responses().initialize();
    }
    ~TestRegion() {
        platform::SharedMapping::unlink(name_);
        RegionClients::remove(name_);
    }

    const std::string& name() const { return name_; }
    uint8_t* base() const { return mapping_.base(); }
    uint64_t size() const { return mapping_.size(); }
    uint64_t output_area() const { return kTensorArea + layout_.tensor_area_size; }
    RingBuffer requests() const { return RingBuffer(base() + kRequestQueue, kRequestEntrySize); }
    RingBuffer responses() const { return RingBuffer(base() + kResponseQueue, kResponseEntrySize); }

private:
    std::string name_;
    platform::SharedMapping mapping_;
    RegionLayout layout_;
};

}  // namespace zelto::shm::testing
