// Full Unicode lower-casing, the same as Python's str.lower(): one-to-many mappings included
// (U+0130 becomes "i" U+0307) and the final-sigma rule applied to U+03A3. Language-specific
// casing rules are not applied, as Python applies none.
#pragma once

#include <string>
#include <string_view>

namespace zelto::unicode {

// Lower-cases UTF-8 text. Bytes that are not valid UTF-8 are copied through unchanged.
std::string to_lower(std::string_view text);

}  // namespace zelto::unicode
