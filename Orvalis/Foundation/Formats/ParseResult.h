#pragma once

#include <Orvalis/Foundation/Export.h>

#include <cstdint>
#include <optional>
#include <string>

namespace orvalis {

/// Why a reader (JSONSerialization, XMLEventSource, the XMLTree parse... entry
/// points) stopped. The numbers are stable; new statuses are added at the end.
enum class ParseStatus : int {
    Ok = 0,               ///< the whole document was read
    Empty = 1,            ///< no document: nothing, or only white space (XML: no element)
    Malformed = 2,        ///< the text breaks the format's grammar (readerCode says which rule)
    InvalidEncoding = 3,  ///< bytes that are not text in the document's encoding, or a lone surrogate escape
    TrailingData = 4,     ///< more than white space after the document (a NUL byte included)
    NotAContainer = 5,    ///< JSON: the top level is not an object or an array
    InvalidNumber = 6,    ///< JSON: a number no Value can hold
    TooDeep = 7,          ///< containers nested deeper than the reader allows
    TooLarge = 8,         ///< the values would pass the active decode budget (an answer's memory cap)
    LimitReached = 9,     ///< XML: the entity-expansion protection stopped the document
    Unreadable = 10,      ///< the file could not be read
};

/// The stable name of status, e.g. "Malformed".
ORVALIS_EXPORT const char* toString(ParseStatus status) noexcept;

/// How a reader's parse ended: a status, where it stopped and why. Ok (and
/// true) when the whole document was read.
struct ORVALIS_EXPORT ParseResult {
    ParseStatus status = ParseStatus::Ok;
    /// Bytes read before the point where the reader stopped (for JSON in
    /// UTF-16/32: of its text converted to UTF-8); 0 when Ok.
    std::uint64_t offset = 0;
    /// Line (from 1) and column (from 0, in bytes) of that point; 0 when Ok.
    std::int64_t line = 0;
    std::int64_t column = 0;
    /// The underlying reader's own code (RapidJSON's ParseErrorCode, expat's
    /// XML_Error), 0 for the library's own refusals and when Ok.
    int readerCode = 0;
    /// Why, in a few English words (RapidJSON's and expat's texts for theirs),
    /// e.g. "mismatched tag"; empty when Ok.
    std::string description;

    bool ok() const noexcept { return status == ParseStatus::Ok; }
    explicit operator bool() const noexcept { return ok(); }
    /// The description with its place: "mismatched tag at line 1, column 9";
    /// empty when Ok.
    std::string message() const;
};

/// What a reader made of a document: the value (absent when there is none)
/// and the ParseResult. An XML reader keeps the tree built before an error.
template <class T>
struct Parsed {
    std::optional<T> value;
    ParseResult result;
};

}  // namespace orvalis
