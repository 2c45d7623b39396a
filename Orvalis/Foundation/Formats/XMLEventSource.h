#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Formats/ParseResult.h>

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
    /// result). Throws std::bad_alloc when the reader cannot be created, and
    /// rethrows what the delegate throws.
    bool parse(XMLEventDelegate& delegate);

    /// How the last parse ended: Ok, or the status, place (line, column and
    /// byte offset), expat's code and its text, e.g. "mismatched tag".
    const ParseResult& result() const noexcept { return result_; }

private:
    std::string_view document_;
    ParseResult result_;
};

}  // namespace orvalis
