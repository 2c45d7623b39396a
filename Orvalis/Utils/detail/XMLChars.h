#pragma once

#include <cstddef>
#include <string_view>

namespace orvalis::detail {

/// True when name, as UTF-8, is an XML 1.0 Name: a NameStartChar, then
/// NameChars (the fifth edition's classes, production [4] and [4a]).
bool isXMLName(std::string_view name) noexcept;

/// Where text, as UTF-8, first holds something that is not an XML 1.0 Char
/// (a control character other than tab, newline and carriage return, U+FFFE,
/// U+FFFF, a surrogate, or bytes that are not UTF-8); npos when there is none.
std::size_t firstNonXMLChar(std::string_view text) noexcept;

}  // namespace orvalis::detail
