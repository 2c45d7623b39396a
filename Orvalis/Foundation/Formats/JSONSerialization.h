#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Formats/ParseResult.h>
#include <Orvalis/Foundation/Value/Value.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace orvalis {

/// Thrown by JSONSerialization::dataWithJSONObject when a value cannot be
/// written as JSON (a non-finite number, a string that is not UTF-8, a top
/// level that is neither an Array nor a Dictionary).
class ORVALIS_EXPORT JSONSerializationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Reading and writing JSON text as Values.
struct ORVALIS_EXPORT JSONSerialization {
    /// Decodes JSON text (UTF-8, UTF-16 or UTF-32, with or without a byte-order
    /// mark) whose top level is one object or array into fresh mutable
    /// Dictionary/Array values. Numbers are exact: integers that fit are
    /// int64_t; other integers, numbers no double holds exactly and numbers
    /// beyond the double range keep their text (Value::numberText, written back
    /// as read) beside the nearest double (an infinity beyond the range).
    /// When the bytes are not exactly one such document, no value and a
    /// result saying why and where: RapidJSON's refusals as Malformed, Empty,
    /// InvalidEncoding with its code and text; the library's own as
    /// NotAContainer (a top-level scalar), TrailingData (bytes or a NUL after
    /// it), InvalidEncoding (a lone surrogate escape such as "\udc00"),
    /// InvalidNumber, TooDeep (deeper than kMaxDepth), TooLarge (past the
    /// decode budget active on the thread, position 0). Any thread.
    static Parsed<Value> JSONObjectWithData(std::string_view data);

    /// Writes an Array or Dictionary as UTF-8 JSON text, compact or indented
    /// by two spaces. Throws JSONSerializationError when it cannot.
    static std::string dataWithJSONObject(const Value& object, bool prettyPrinted);

    /// Deepest nesting of containers JSONObjectWithData accepts.
    static constexpr std::size_t kMaxDepth = 512;
};

}  // namespace orvalis
