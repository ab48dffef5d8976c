// What each system's side tells its kernel about the room of a large buffer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelto::platform {

// Advises the untouched room [begin, end) of a buffer of `capacity` bytes as huge-page backed
// where the system can do that for an ordinary allocation; otherwise does nothing.
void advise_room(const uint8_t* begin, const uint8_t* end, size_t capacity);

}  // namespace zelto::platform
