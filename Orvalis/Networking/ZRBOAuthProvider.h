#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Transport/URLRequest.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvalis {

/// Signs one HTTP request with OAuth 1.0a (RSA-SHA1 or RSA-SHA256, with an
/// "oauth_body_hash" when there is a body). initWith does all the work; the
/// finished signer is only read. GETURLRequest / POSTURLRequest build the
/// signed URLRequest with a signer of their own.
///
/// Percent-encoding (encodeString) never fails: a "%" not followed by two hex
/// digits stands for itself and becomes "%25"; decoded bytes that are not
/// valid UTF-8 are encoded byte by byte as "%XX"; every byte other than
/// letters, digits and "-._~" (controls, space, "\"<>\\^`{|}" and the reserved
/// characters included) becomes "%XX", except "[" and "]", which are dropped.
/// The result is deterministic and encoding it again changes nothing.
///
/// A missing consumer key or signature leaves the header segment's value
/// empty (oauth_signature=""); the request is still built. Values in the query
/// map that are not text are written in their text form; null values are left
/// out. An enumeration value other than 0 or 1 leaves the field it selects
/// absent (no method, scheme, body hash or signature) rather than reading past
/// a table.
class ORVALIS_EXPORT ZRBOAuthProvider {
public:
    /// An empty signer: every field absent or empty. The builders need no more.
    ZRBOAuthProvider() = default;
    /**@{*/
    /// Copies and moves carry every field; each object wipes its copy of the password when it goes.
    ZRBOAuthProvider(const ZRBOAuthProvider&) = default;
    ZRBOAuthProvider(ZRBOAuthProvider&&) noexcept = default;
    ZRBOAuthProvider& operator=(const ZRBOAuthProvider&) = default;
    ZRBOAuthProvider& operator=(ZRBOAuthProvider&&) noexcept = default;
    ~ZRBOAuthProvider();
    /**@}*/

    /// A finished signer for one request: stores the arguments (the query map
    /// is copied), computes the body hash when requestbody is present (empty
    /// text counts), fills the OAuth parameters with a new nonce and
    /// timestamp, builds the base string and signs it. Never fails.
    static ZRBOAuthProvider initWith(HTTPMethodType method, OAuthURLSchemeType urlScheme, const std::string& host,
                                     const std::string& urlpath, const std::optional<Dictionary>& queryparams,
                                     const std::optional<std::string>& consumerkey,
                                     const std::optional<std::string>& privatekeyp12,
                                     const std::optional<std::string>& P12Password,
                                     OAuthSignatureType oAuthSignatureType,
                                     const std::optional<std::string>& requestbody);

    /// As above, with the key taken from keySource instead of a resource name.
    static ZRBOAuthProvider initWith(HTTPMethodType method, OAuthURLSchemeType urlScheme, const std::string& host,
                                     const std::string& urlpath, const std::optional<Dictionary>& queryparams,
                                     const std::optional<std::string>& consumerkey, const KeySource& keySource,
                                     const std::optional<std::string>& P12Password,
                                     OAuthSignatureType oAuthSignatureType,
                                     const std::optional<std::string>& requestbody);

    /// A signed GET request: URL with the encoded query, no body, cache
    /// bypassed, 180 s time-out, "Authorization" header. Always returns one.
    URLRequest GETURLRequest(OAuthURLSchemeType scheme, const std::string& host, const std::string& urlPath,
                             const std::optional<Dictionary>& queryparam, const std::optional<std::string>& consumerkey,
                             const std::optional<std::string>& privatep12,
                             const std::optional<std::string>& passwordp12, OAuthSignatureType outhSigntype) const;
    /// A signed POST request: body as given (none when absent), "Content-Type"
    /// then "Authorization", cache bypassed, 180 s time-out. Always returns one.
    URLRequest POSTURLRequest(OAuthURLSchemeType scheme, const std::string& host, const std::string& urlPath,
                              const std::optional<std::string>& consumerKey,
                              const std::optional<std::string>& privatep12,
                              const std::optional<std::string>& passwordp12, OAuthSignatureType outhSigntype,
                              const std::optional<std::string>& requestBody, const std::string& contentType) const;

    /// GETURLRequest with the key taken from keySource.
    URLRequest GETURLRequest(OAuthURLSchemeType scheme, const std::string& host, const std::string& urlPath,
                             const std::optional<Dictionary>& queryparam, const std::optional<std::string>& consumerkey,
                             const KeySource& keySource, const std::optional<std::string>& passwordp12,
                             OAuthSignatureType outhSigntype) const;
    /// POSTURLRequest with the key taken from keySource.
    URLRequest POSTURLRequest(OAuthURLSchemeType scheme, const std::string& host, const std::string& urlPath,
                              const std::optional<std::string>& consumerKey, const KeySource& keySource,
                              const std::optional<std::string>& passwordp12, OAuthSignatureType outhSigntype,
                              const std::optional<std::string>& requestBody, const std::string& contentType) const;

    /// URLScheme, host and URLPath joined with nothing between them.
    std::string completeServiceURL() const;
    /// completeServiceURL, then "?" and name=encodeString(value) pairs joined
    /// by "&" in the query map's order when there are query parameters. Logs "URL : ...".
    std::string URLWithQueriesParams() const;
    /// A fresh nine-digit nonce, 100000000 to 999999999.
    std::string nonce() const;
    /// The current time in whole seconds since 1970 (fraction dropped).
    std::string timeStamp() const;
    /// Percent-decodes, then percent-encodes text (see the class comment).
    static std::string encodeString(std::string_view text);
    /// encodeString with every "%" of the result written "%25": "a b" gives "a%2520b".
    static std::string keyEncodeString(std::string_view text);

    /// Sets requestBodyHash to the Base64 SHA-1 or SHA-256 digest of body.
    void setupRequestBodyHash(const std::string& body);
    /// Fills oAuthHeaders with every OAuth parameter but the signature. Logs them.
    void setupOAuthHeaders();
    /// A new map of oAuthHeaders, then queryParams (which win on equal names).
    Dictionary getAllHeaderParamsForBaseString() const;
    /// Builds and stores the signature base string. Logs it.
    void setupSignatureBaseString();
    /// Signs the base string and stores the encoded signature as
    /// "oauth_signature"; stores nothing when no signature could be made.
    void setupEncodedSignature();
    /// The Authorization header value: "OAuth " and the quoted segments in
    /// their fixed order. Logs it.
    std::string oAuthHeader() const;

    /**@{*/
    /// "GET" or "POST" from initWith; absent for a method value out of range.
    const std::optional<std::string>& httpMethod() const noexcept { return httpMethod_; }
    void setHttpMethod(std::optional<std::string> v) { httpMethod_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// "http://" or "https://" from initWith; absent for a scheme value out of range.
    const std::optional<std::string>& URLScheme() const noexcept { return URLScheme_; }
    void setURLScheme(std::optional<std::string> v) { URLScheme_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// The server's host, as given to initWith.
    const std::optional<std::string>& host() const noexcept { return host_; }
    void setHost(std::optional<std::string> v) { host_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// The URL path, as given to initWith.
    const std::optional<std::string>& URLPath() const noexcept { return URLPath_; }
    void setURLPath(std::optional<std::string> v) { URLPath_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// The query parameters (a copy of the caller's map); empty when there are none.
    const Dictionary& queryParams() const noexcept { return queryParams_; }
    void setQueryParams(Dictionary v) { queryParams_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// The OAuth parameters set so far, "oauth_signature" last once signed.
    const Dictionary& oAuthHeaders() const noexcept { return oAuthHeaders_; }
    void setOAuthHeaders(Dictionary v) { oAuthHeaders_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// The OAuth consumer key; absent, the header carries it empty.
    const std::optional<std::string>& consumerKey() const noexcept { return consumerKey_; }
    void setConsumerKey(std::optional<std::string> v) { consumerKey_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// Resource name of the PKCS#12 key file, without ".p12".
    const std::optional<std::string>& privateKeyP12() const noexcept { return privateKeyP12_; }
    void setPrivateKeyP12(std::optional<std::string> v) { privateKeyP12_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// Where the key comes from when set; unset, the resource privateKeyP12 names.
    const std::optional<KeySource>& merchantKeySource() const noexcept { return merchantKeySource_; }
    void setMerchantKeySource(std::optional<KeySource> v) { merchantKeySource_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// Password of the key file (for a token key, its PIN unless its PinSource gives one).
    const std::optional<std::string>& P12Password() const noexcept { return P12Password_; }
    void setP12Password(std::optional<std::string> v);
    /**@}*/
    /**@{*/
    /// Which signature method and body digest are used.
    OAuthSignatureType oAuthSignatureType() const noexcept { return oAuthSignatureType_; }
    void setOAuthSignatureType(OAuthSignatureType v) noexcept { oAuthSignatureType_ = v; }
    /**@}*/
    /**@{*/
    /// The signature base string, once setupSignatureBaseString has built it.
    const std::optional<std::string>& oAuthSignatureBaseString() const noexcept { return oAuthSignatureBaseString_; }
    void setOAuthSignatureBaseString(std::optional<std::string> v) { oAuthSignatureBaseString_ = std::move(v); }
    /**@}*/
    /**@{*/
    /// Base64 digest of the body, once setupRequestBodyHash has run; absent without a body.
    const std::optional<std::string>& requestBodyHash() const noexcept { return requestBodyHash_; }
    void setRequestBodyHash(std::optional<std::string> v) { requestBodyHash_ = std::move(v); }
    /**@}*/

    /// What the last setupEncodedSignature found: KeyStatus::Loaded when it signed,
    /// else why there was no key; no value before it ran or when the signature
    /// type is out of range.
    const std::optional<KeyStatus>& keyStatus() const noexcept { return keyStatus_; }

private:
    static ZRBOAuthProvider build(HTTPMethodType method, OAuthURLSchemeType urlScheme, const std::string& host,
                                  const std::string& urlpath, const std::optional<Dictionary>& queryparams,
                                  const std::optional<std::string>& consumerkey,
                                  const std::optional<std::string>& privatekeyp12,
                                  const std::optional<KeySource>& keySource,
                                  const std::optional<std::string>& P12Password,
                                  OAuthSignatureType oAuthSignatureType,
                                  const std::optional<std::string>& requestbody);

    std::optional<std::string> httpMethod_;
    std::optional<std::string> URLScheme_;
    std::optional<std::string> host_;
    std::optional<std::string> URLPath_;
    Dictionary queryParams_;
    Dictionary oAuthHeaders_;
    std::optional<std::string> consumerKey_;
    std::optional<std::string> privateKeyP12_;
    std::optional<std::string> P12Password_;
    std::optional<KeySource> merchantKeySource_;
    OAuthSignatureType oAuthSignatureType_ = OAuthSignatureTypeRSASHA1;
    std::optional<std::string> oAuthSignatureBaseString_;
    std::optional<std::string> requestBodyHash_;
    std::optional<KeyStatus> keyStatus_;
};

}  // namespace orvalis
