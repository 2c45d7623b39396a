#pragma once

// The sandbox's own reading of an OAuth 1.0a RSA request, written from the
// wire format alone so that it checks the library instead of mirroring it.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvalis::sandbox {

/// Percent-decodes text ("+" stays "+"); no value for a "%" without two hex
/// digits or for bytes that are not UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

/// The signing encoding: decode first, then write every byte other than
/// letters, digits and "-._~" as %XX, dropping "[" and "]". No value when the
/// input cannot be decoded.
std::optional<std::string> encodeString(std::string_view text);

/// Name/value pairs of an "OAuth " Authorization header, values as written
/// between the quotes. No value when the header is not of that form.
std::optional<std::map<std::string, std::string>> parseAuthorizationHeader(std::string_view header);

/// Raw name/value pairs of a query string (values left as sent).
std::vector<std::pair<std::string, std::string>> splitQuery(std::string_view query);

/// RFC 5849 encoding of text as it stands: every byte other than letters, digits
/// and "-._~" as %XX, so an escape received keeps its "%" as "%25".
std::string percentEncode(std::string_view text);

/// The signature base string of method, URL (scheme, host and path exactly as
/// received, no query) and the signed parameters (each value as sent, encoded at most once).
/// No value when some part cannot be encoded.
std::optional<std::string> signatureBaseString(std::string_view method, std::string_view url,
                                               const std::map<std::string, std::string>& params);

/// Base64 (one line, padded) of the SHA-1 or SHA-256 digest of bytes.
std::string base64Digest(std::string_view bytes, bool sha256);

/// Base64 decoding; no value for text that is not Base64.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace orvalis::sandbox
