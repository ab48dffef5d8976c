// Process-local, lease-based slot allocator over a region's tensor area.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zelto::shm {

struct SizeClassSpec {
    uint64_t size;
    uint32_t weight;
};

class TensorPool {
public:
    using Clock = std::chrono::steady_clock;
    using ClockFn = std::function<Clock::time_point()>;  // injectable for tests

    static constexpr std::chrono::seconds kDefaultLease{30};
    static std::vector<SizeClassSpec> default_classes();  // 256 KiB .. 64 MiB, weight 1 each

    TensorPool(uint64_t base, uint64_t total, std::vector<SizeClassSpec> classes,
               Clock::duration lease, ClockFn clock = {});
    static TensorPool with_defaults(uint64_t base, uint64_t total) {
        return TensorPool(base, total, default_classes(), kDefaultLease);
    }
    TensorPool(TensorPool&&) noexcept;
    ~TensorPool();

    std::optional<uint64_t> allocate(uint64_t required);
    bool release(uint64_t offset);
    uint64_t largest_slot() const;
    std::string layout() const;
    // The text a client shows when no slot of `required` bytes is free.
    std::string exhausted_message(uint64_t required) const;

private:
    struct SizeClass;
    std::vector<std::unique_ptr<SizeClass>> classes_;
    ClockFn clock_;
};

}  // namespace zelto::shm
