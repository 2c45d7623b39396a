#include <Orvalis/Utils/Common.h>

#include <algorithm>

namespace orvalis {
namespace {

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length in bytes of the code point starting at text[i]: the lead byte and
// the continuation bytes that follow it (at most three), so that malformed
// sequences still advance and never split a valid character.
std::size_t codePointLength(std::string_view text, std::size_t i) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t want = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    std::size_t n = 1;
    while (want-- > 0 && i + n < text.size() && isContinuation(static_cast<unsigned char>(text[i + n]))) ++n;
    return n;
}

// Byte offset of the character at index (clamped to the text).
std::size_t byteOffset(std::string_view text, std::int64_t index) {
    std::size_t at = 0;
    for (std::int64_t k = 0; k < index && at < text.size(); ++k) at += codePointLength(text, at);
    return at;
}

std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t at = 0; at < text.size(); at += codePointLength(text, at)) ++count;
    return count;
}

std::int64_t clampCount(std::int32_t n) { return std::max<std::int64_t>(n, 0); }

}  // namespace

std::string substringOffsetBy(std::string_view text, std::int32_t n) {
    std::int64_t keep = static_cast<std::int64_t>(characterCount(text)) - clampCount(n);
    return std::string(text.substr(0, byteOffset(text, std::max<std::int64_t>(keep, 0))));
}

std::string substringTo(std::string_view text, std::int32_t n) {
    return std::string(text.substr(0, byteOffset(text, clampCount(n))));
}

std::string substringFrom(std::string_view text, std::int32_t index) {
    return std::string(text.substr(byteOffset(text, clampCount(index))));
}

std::string substringFrom(std::string_view text, std::int32_t index, std::int32_t substringTo) {
    std::string_view rest = text.substr(byteOffset(text, clampCount(index)));
    return std::string(rest.substr(0, byteOffset(rest, clampCount(substringTo))));
}

}  // namespace orvalis
