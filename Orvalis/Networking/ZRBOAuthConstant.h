#pragma once

#include <Orvalis/Foundation/Export.h>

#include <cstdint>

namespace orvalis {

/// Signature method and body digest of a signed request.
enum OAuthSignatureType : std::int64_t {
    OAuthSignatureTypeRSASHA1 = 0,    ///< RSA-SHA1 signature, SHA-1 body hash
    OAuthSignatureTypeRSASHA256 = 1,  ///< RSA-SHA256 signature, SHA-256 body hash
};

/// URL scheme of a signed request.
enum OAuthURLSchemeType : std::int64_t {
    OAuthURLSchemeTypeHTTP = 0,   ///< "http://"
    OAuthURLSchemeTypeHTTPS = 1,  ///< "https://"
};

/// HTTP method of a signed request.
enum HTTPMethodType : std::int64_t {
    HTTPMethodTypeGET = 0,   ///< "GET"
    HTTPMethodTypePOST = 1,  ///< "POST"
};

/// Content type of a POST body.
enum HTTPContentType : std::int64_t {
    HTTPContentTypeXML = 0,   ///< "application/xml;charset=UTF-8"
    HTTPContentTypeJSON = 1,  ///< "application/json"
};

/// Texts of the enumerations, indexed by value (0 or 1 only: no range check).
/// "RSA-SHA1", "RSA-SHA256".
extern ORVALIS_EXPORT const char* const OAuthSignatureTypeToString[2];
/// "http://", "https://".
extern ORVALIS_EXPORT const char* const OAuthURLSchemeTypeToString[2];
/// "GET", "POST".
extern ORVALIS_EXPORT const char* const HTTPMethodTypeToString[2];
/// "application/xml;charset=UTF-8", "application/json".
extern ORVALIS_EXPORT const char* const HTTPContentTypeToString[2];

/// OAuth parameter names and the header names of a signed request.
extern ORVALIS_EXPORT const char* const kConsumerKey;      ///< "oauth_consumer_key"
extern ORVALIS_EXPORT const char* const kNonce;            ///< "oauth_nonce"
extern ORVALIS_EXPORT const char* const kTimestamp;        ///< "oauth_timestamp"
extern ORVALIS_EXPORT const char* const kVersion;          ///< "oauth_version"
extern ORVALIS_EXPORT const char* const kSignatureMethod;  ///< "oauth_signature_method"
extern ORVALIS_EXPORT const char* const kSignature;        ///< "oauth_signature"
extern ORVALIS_EXPORT const char* const kBodyHash;         ///< "oauth_body_hash"
extern ORVALIS_EXPORT const char* const kAuthorization;    ///< "Authorization"
extern ORVALIS_EXPORT const char* const kHTTPContentType;  ///< "Content-Type"

}  // namespace orvalis
