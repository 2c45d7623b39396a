#pragma once

#include <string>
#include <string_view>

namespace orvalis::detail {

/// True when bytes are well-formed UTF-8 (no overlong forms, no surrogates,
/// nothing above U+10FFFF).
bool isValidUTF8(std::string_view bytes) noexcept;

/// bytes as UTF-8 text: well-formed sequences are kept, every other byte
/// becomes U+FFFD. For showing bytes that may not be text, e.g. in log lines.
std::string validUTF8Text(std::string_view bytes);

}  // namespace orvalis::detail
