#pragma once

#include <Orvalis/Foundation/Export.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace orvalis {

// Substrings counted in characters (Unicode code points of UTF-8 text; a byte
// that is not valid UTF-8 counts as one character). Counts and indexes out of
// range are clamped to the text instead of failing: negative ones count as 0.

/// text without its last n characters; "" when n is the length or more.
ORVALIS_EXPORT std::string substringOffsetBy(std::string_view text, std::int32_t n);
/// The first n characters of text; all of it when n is the length or more.
ORVALIS_EXPORT std::string substringTo(std::string_view text, std::int32_t n);
/// The characters from index to the end; "" when index is the length or more.
ORVALIS_EXPORT std::string substringFrom(std::string_view text, std::int32_t index);
/// At most substringTo characters starting at index.
ORVALIS_EXPORT std::string substringFrom(std::string_view text, std::int32_t index, std::int32_t substringTo);

}  // namespace orvalis
