#pragma once

// Internal to the library: not installed. A server's reading of an OAuth 1.0a
// RSA request, written from the wire format alone so that it checks the signer
// instead of mirroring it: the sandbox and checkRequestSignature use it.
#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Crypto/SignatureCheckOptions.h>
#include <openssl/evp.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvalis::detail {

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

/// A public key that verifies signatures.
using PublicKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;

/// The public keys of the certificates in pem, or of one PEM public key; none when it holds neither.
std::vector<PublicKey> loadPublicKeys(const std::string& pem);

/// What a server made of one request.
struct OAuthCheck {
    std::optional<std::string> refusal;        ///< why it does not verify; none when it does
    std::map<std::string, std::string> oauth;  ///< the Authorization header's parameters, as sent
    std::vector<std::pair<std::string, std::string>> query;  ///< the query's pairs, as sent
    std::string baseString;                    ///< the base string rebuilt, when it got that far
};

/// Checks a request as a server does: the Authorization header's parameters, the
/// consumer key and clock window of options, the body hash, and the signature of the
/// base string of method, url (scheme, host and path as received) and query against keys.
OAuthCheck checkOAuthRequest(std::string_view method, std::string_view url, std::string_view query,
                             std::string_view authorization, std::string_view body,
                             const std::vector<PublicKey>& keys, const SignatureCheckOptions& options);

}  // namespace orvalis::detail
