#include <Orvalis/Utils/detail/XMLChars.h>

#include <cstdint>

namespace orvalis::detail {
namespace {

constexpr char32_t kBad = 0xFFFFFFFF;

// The code point at text[i] (advancing i past it), or kBad for bytes that
// are not UTF-8 (overlong forms and surrogates included).
char32_t decode(std::string_view text, std::size_t& i) noexcept {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = byte(i);
    if (b < 0x80) {
        ++i;
        return b;
    }
    std::size_t n;
    char32_t c;
    char32_t least;
    if ((b & 0xE0) == 0xC0) {
        n = 1, c = b & 0x1F, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        n = 2, c = b & 0x0F, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        n = 3, c = b & 0x07, least = 0x10000;
    } else {
        return kBad;
    }
    if (text.size() - i <= n) return kBad;
    for (std::size_t k = 1; k <= n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return kBad;
        c = (c << 6) | (byte(i + k) & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return kBad;
    i += n + 1;
    return c;
}

bool isNameStart(char32_t c) noexcept {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool isNameChar(char32_t c) noexcept {
    return isNameStart(c) || c == '-' || c == '.' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

bool isChar(char32_t c) noexcept {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

}  // namespace

bool isXMLName(std::string_view name) noexcept {
    if (name.empty()) return false;
    std::size_t i = 0;
    if (!isNameStart(decode(name, i))) return false;
    while (i < name.size())
        if (!isNameChar(decode(name, i))) return false;
    return true;
}

std::size_t firstNonXMLChar(std::string_view text) noexcept {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        // Printable ASCII is the common case.
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x20 && b < 0x80) {
            ++i;
            continue;
        }
        if (!isChar(decode(text, i))) return at;
    }
    return std::string_view::npos;
}

}  // namespace orvalis::detail
