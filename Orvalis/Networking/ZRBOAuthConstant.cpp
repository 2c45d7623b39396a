#include <Orvalis/Networking/ZRBOAuthConstant.h>

namespace orvalis {

const char* const OAuthSignatureTypeToString[2] = {"RSA-SHA1", "RSA-SHA256"};
const char* const OAuthURLSchemeTypeToString[2] = {"http://", "https://"};
const char* const HTTPMethodTypeToString[2] = {"GET", "POST"};
const char* const HTTPContentTypeToString[2] = {"application/xml;charset=UTF-8", "application/json"};

const char* const kConsumerKey = "oauth_consumer_key";
const char* const kNonce = "oauth_nonce";
const char* const kTimestamp = "oauth_timestamp";
const char* const kVersion = "oauth_version";
const char* const kSignatureMethod = "oauth_signature_method";
const char* const kSignature = "oauth_signature";
const char* const kBodyHash = "oauth_body_hash";
const char* const kAuthorization = "Authorization";
const char* const kHTTPContentType = "Content-Type";

}  // namespace orvalis
