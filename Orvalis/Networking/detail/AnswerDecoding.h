#pragma once

// Internal to the library: not installed. The decode stage of every
// operation: an exchange's outcome read once, within the answer budget.
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Value/Value.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvalis::detail {

/// What one exchange ended with, decoded: exactly one of answer and error.
struct DecodedAnswer {
    /// The JSON object (or empty array) or the well-formed XML root without an Error element.
    std::optional<Dictionary> answer;
    /// The transport error, or a kZRBNetworkErrorDomain error the answer's content caused.
    std::optional<Error> error;
    /// The answer's first "errors" entry (JSON) or Error element (XML), whole, when an object.
    std::optional<Dictionary> serverErrorEntry;
    /// The outcome came from the JSON reading (the callback facade reads such a
    /// body again as XML when a host callback throws).
    bool readAsJSON = false;
};

/// Decodes the body an exchange ended with (data), or passes its error on.
/// Never throws: what cannot be read is a "Server Error", what would take
/// more than the budget allows is "Answer too large to decode".
DecodedAnswer decodeAnswer(const std::optional<std::string>& data, const std::optional<Error>& error) noexcept;

/// The XML reading alone, as decodeAnswer makes it for a body that is not JSON.
DecodedAnswer decodeXMLAnswer(std::string_view body) noexcept;

}  // namespace orvalis::detail
