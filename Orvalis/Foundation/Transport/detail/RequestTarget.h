#pragma once

// Internal to the library: not installed. Local checks on the parts a host
// hands in for a request's URL, made before anything is signed or sent.
#include <Orvalis/Foundation/Error.h>

#include <optional>
#include <string_view>

namespace orvalis::detail {

/// No value when host is "name[:port]", "IPv4[:port]" or "[IPv6][:port]" with a
/// port of 1-65535; otherwise a URLErrorBadHost Error naming the problem.
std::optional<Error> checkHost(std::string_view host);

/// No value when id can stand in a URL path as one segment, sent and signed
/// as it is; otherwise a URLErrorBadPathSegment Error naming the problem.
std::optional<Error> checkPathSegment(std::string_view id);

}  // namespace orvalis::detail
