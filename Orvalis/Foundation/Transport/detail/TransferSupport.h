#pragma once

// Internal to the URL session: not installed. Checks of what goes on the
// wire, and what the transfer library's codes and measurements become in the
// session's own terms.
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <curl/curl.h>

#include <string>
#include <string_view>

namespace orvalis::detail {

char asciiLower(char c) noexcept;
std::string lowered(std::string_view s);
bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept;
/// RFC 9110 token characters: what a method or a header name may hold.
bool isToken(std::string_view s) noexcept;
/// No CR, LF or NUL: a header value cannot start another header line or cut the request.
bool isSafeHeaderValue(std::string_view s) noexcept;
/// The URL's host in lower case, or "" when it cannot be parsed.
std::string hostOfURL(const std::string& url);
/// Whether the scheme, as libcurl reads it (case-insensitive, before "://"), is https.
bool schemeIsHTTPS(std::string_view url) noexcept;

/// The session's Error for a libcurl code: our description first, then
/// libcurl's code and detail (its own message when detail is empty).
Error makeURLError(CURLcode code, const std::string& url, std::string_view detail);

/// The phases of the transfer easy has run, made monotone (a reused
/// connection reports when it was taken over for lookup, connect and TLS).
URLSessionTaskMetrics readMetrics(CURL* easy) noexcept;

}  // namespace orvalis::detail
