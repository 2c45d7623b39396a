#include <Orvalis/Foundation/Formats/ParseResult.h>

namespace orvalis {

const char* toString(ParseStatus status) noexcept {
    switch (status) {
        case ParseStatus::Ok: return "Ok";
        case ParseStatus::Empty: return "Empty";
        case ParseStatus::Malformed: return "Malformed";
        case ParseStatus::InvalidEncoding: return "InvalidEncoding";
        case ParseStatus::TrailingData: return "TrailingData";
        case ParseStatus::NotAContainer: return "NotAContainer";
        case ParseStatus::InvalidNumber: return "InvalidNumber";
        case ParseStatus::TooDeep: return "TooDeep";
        case ParseStatus::TooLarge: return "TooLarge";
        case ParseStatus::LimitReached: return "LimitReached";
        case ParseStatus::Unreadable: return "Unreadable";
    }
    return "Unknown";
}

std::string ParseResult::message() const {
    if (ok()) return {};
    return description + " at line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace orvalis
