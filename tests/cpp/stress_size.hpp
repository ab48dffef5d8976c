// The size of the stress tests: ZELTO_STRESS_ENTRIES, the work per producer or thread. Quick
// runs leave it unset (20,000); hardening runs set it to 1,000,000.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace zelto::testing {

inline uint64_t stress_entries() {
    constexpr uint64_t kQuick = 20000;
    const char* text = std::getenv("ZELTO_STRESS_ENTRIES");
    if (text == nullptr || *text == '\0') return kQuick;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    return *end == '\0' && value > 0 ? value : kQuick;
}

}  // namespace zelto::testing
