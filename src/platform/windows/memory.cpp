#include "platform/common/memory_advice.hpp"

namespace zelto::platform {

// Windows backs ordinary allocations with small pages only: large pages need an allocation of
// their own (VirtualAlloc with MEM_LARGE_PAGES) and a privilege that user accounts lack.
void advise_room(const uint8_t*, const uint8_t*, size_t) {}

}  // namespace zelto::platform
