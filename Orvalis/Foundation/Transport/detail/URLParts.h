#pragma once

// Internal to the library: not installed. An absolute URL split into the
// parts a request signer takes, by libcurl's URL parser.
#include <optional>
#include <string>

namespace orvalis::detail {

/// The parts of an absolute URL, as written (no percent-decoding, dot segments kept).
struct URLParts {
    std::string scheme;               ///< lower case, e.g. "https"
    std::string host;                 ///< a name, an IPv4 address or "[IPv6]"
    std::optional<std::string> port;  ///< when the URL gives one
    std::string path;                 ///< "/" when the URL has none
    std::string query;                ///< without "?", "" when none
    bool hasFragment = false;         ///< "#..." was given
    bool hasUser = false;             ///< "user[:password]@" was given
};

/// url split into its parts, or no value when it is not an absolute URL.
/// Throws std::bad_alloc when no parser can be made.
std::optional<URLParts> parseURL(const std::string& url);

}  // namespace orvalis::detail
