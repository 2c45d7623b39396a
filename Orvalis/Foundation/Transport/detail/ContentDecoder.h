#pragma once

// Internal to the library: not installed. Decodes an answer body as its
// Content-Encoding says, piece by piece as it arrives.
#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace orvalis::detail {

/// Undoes "gzip" (every member, RFC 1952), "x-gzip", "deflate" (zlib or raw)
/// and "identity", in the reverse order of the Content-Encoding list.
/// One decoder serves one answer on one thread.
class ContentDecoder {
public:
    /// Receives each decoded piece; returning false stops decoding.
    using Sink = std::function<bool(std::string_view)>;

    ContentDecoder();
    ~ContentDecoder();
    ContentDecoder(ContentDecoder&&) noexcept;
    ContentDecoder& operator=(ContentDecoder&&) noexcept;

    /// Sets up for the answer's Content-Encoding field values (all of them, in order).
    /// False for an encoding it cannot decode or a list longer than five.
    bool configure(const std::vector<std::string_view>& contentEncodings);
    /// True when the body is encoded (something to undo).
    bool active() const noexcept;
    /// Decodes the next body bytes into sink. False when they do not decode or sink stopped.
    bool feed(std::string_view bytes, const Sink& sink);
    /// True when every encoded stream that began also ended (an empty body counts as ended).
    bool complete() const noexcept;

private:
    struct Stage;
    bool feedStage(std::size_t index, std::string_view bytes, const Sink& sink);
    std::vector<std::unique_ptr<Stage>> stages_;
};

}  // namespace orvalis::detail
