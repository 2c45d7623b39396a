#pragma once

// Library-internal: the text collector of the XML tree builder. Not installed.

#include <Orvalis/Foundation/Value/Value.h>

#include <cstddef>
#include <string_view>

namespace orvalis::detail {

/// Growable text collected in pieces that can become a string Value without
/// a second copy of long texts.
class TextBuffer {
public:
    TextBuffer() noexcept = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    /// Appends bytes; throws std::bad_alloc when memory runs out.
    void append(std::string_view s);
    /// The bytes collected so far.
    std::string_view view() const noexcept { return {data_ ? data_ : "", size_}; }
    std::size_t size() const noexcept { return size_; }
    /// Empties the buffer, keeping its memory.
    void clear() noexcept { size_ = 0; }
    /// Empties the buffer and frees its memory.
    void reset() noexcept;
    /// Bytes the buffer can hold before it grows.
    std::size_t capacity() const noexcept { return cap_; }
    /// The bytes [begin, end) as a string Value; the buffer is left empty.
    /// Long texts hand over the buffer's memory instead of being copied.
    Value take(std::size_t begin, std::size_t end);

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace orvalis::detail
