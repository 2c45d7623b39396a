#pragma once

#include <Orvalis/Foundation/Export.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orvalis {

/// One attribute of a start tag, as written (no namespace processing).
struct XMLAttribute {
    /// The attribute's name, prefix included.
    std::string_view name;
    /// The attribute's value, with entity and character references decoded.
    std::string_view value;
};

/// Why and where a document stopped being well-formed.
struct XMLParseError {
    /// The XML reader's error code (never 0).
    int code = 0;
    /// Line (from 1) and column (from 0, in bytes) where the reader stopped.
    std::int64_t line = 0;
    std::int64_t column = 0;
    /// The reader's text for the code, e.g. "mismatched tag".
    std::string message;
};

/// Receiver of the events of an XMLEventSource. The views passed in are only
/// valid during the call. Exceptions thrown here stop the parse and are
/// rethrown by XMLEventSource::parse.
class ORVALIS_EXPORT XMLEventDelegate {
public:
    virtual ~XMLEventDelegate() = default;
    /// Start tag (or empty-element tag): the element's name as written and
    /// its attributes in document order, empty when it has none.
    virtual void didStartElement(std::string_view elementName, std::span<const XMLAttribute> attributes) = 0;
    /// End of the innermost open element; elementName is empty when
    /// wantsEndElementName is false.
    virtual void didEndElement(std::string_view elementName) = 0;
    /// Decoded character data; one text may arrive in several pieces.
    virtual void foundCharacters(std::string_view characters) = 0;
    /// The content of a CDATA section (UTF-8), possibly in several pieces.
    virtual void foundCDATA(std::string_view block) = 0;
    /// The text of a comment, without its "<!--" and "-->".
    virtual void foundComment(std::string_view comment) = 0;
    /// Whether didEndElement needs the element name; when false it gets an
    /// empty view (saves measuring every end tag's name).
    virtual bool wantsEndElementName() const { return true; }
};

/// Event-driven XML reader over a document held in memory. Names arrive as
/// written, prefixes included; no external entity or DTD is ever loaded and
/// entity-expansion protection is on. Stops at the first error, after
/// delivering the events before it. The bytes must outlive the source.
class ORVALIS_EXPORT XMLEventSource {
public:
    /// A source over document (not copied); nothing is read until parse.
    explicit XMLEventSource(std::string_view document) noexcept : document_(document) {}

    /// Delivers the document's events to delegate, synchronously. True when
    /// the whole document was well-formed; false at the first error (see
    /// errorCode/errorDescription). Throws std::bad_alloc when the reader
    /// cannot be created, and rethrows what the delegate throws.
    bool parse(XMLEventDelegate& delegate);

    /// The reader's error code of the last parse (0 when none).
    int errorCode() const noexcept { return errorCode_; }
    /// Readable text of the last error, with its line and column; empty when none.
    const std::string& errorDescription() const noexcept { return errorDescription_; }
    /// The last parse's error with its position; no value when it succeeded.
    const std::optional<XMLParseError>& error() const noexcept { return error_; }

private:
    std::string_view document_;
    int errorCode_ = 0;
    std::string errorDescription_;
    std::optional<XMLParseError> error_;
};

}  // namespace orvalis
