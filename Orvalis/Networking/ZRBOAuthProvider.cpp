#include <Orvalis/Foundation/System/Clock.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/Random.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/Networking/detail/SignedRequest.h>
#include <Orvalis/Utils/Crypto/ZRBCryptoHelper.h>
#include <Orvalis/Utils/Crypto/detail/KeyLoader.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace orvalis {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

constexpr std::array<bool, 256> kUnreserved = [] {
    std::array<bool, 256> t{};
    for (unsigned c = 0; c < 256; ++c)
        t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
               c == '_' || c == '~';
    return t;
}();

bool isUnreserved(unsigned char c) { return kUnreserved[c]; }

// Decoding and encoding in one pass: each "%XX" is taken as the byte it names
// and every byte is then encoded on its own, which is what decoding the whole
// text first and encoding the result gives. escapedPercent writes the "%" of
// each escape as "%25" (the value encoded twice, as the base string wants).
void appendEncoded(std::string& out, std::string_view in, bool escapedPercent) {
    for (std::size_t i = 0; i < in.size(); ++i) {
        // Most of a value needs no encoding: copied in one piece.
        std::size_t plain = i;
        while (plain < in.size() && isUnreserved(static_cast<unsigned char>(in[plain]))) ++plain;
        out.append(in.data() + i, plain - i);
        if (plain == in.size()) break;
        i = plain;
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == '%' && i + 2 < in.size() && hexValue(in[i + 1]) >= 0 && hexValue(in[i + 2]) >= 0) {
            c = static_cast<unsigned char>(hexValue(in[i + 1]) * 16 + hexValue(in[i + 2]));
            i += 2;
        }
        if (isUnreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else if (c == '[' || c == ']') {
            // Dropped, not encoded: the server encodes them the same way, and the
            // signature only verifies if both sides agree.
        } else {
            out += escapedPercent ? "%25" : "%";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
}

// Text of a map value: strings as they are, other scalars in their text form.
std::optional<std::string> textOf(const Value& v) {
    if (v.isNull()) return std::nullopt;
    if (v.isString()) return std::string(v.asString());
    return v.description();
}

template <std::size_t N>
std::optional<std::string> tableEntry(const char* const (&table)[N], std::int64_t index) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= N) return std::nullopt;
    return std::string(table[index]);
}

bool isSHA256(OAuthSignatureType t) { return t == OAuthSignatureTypeRSASHA256; }
bool isKnown(OAuthSignatureType t) { return t == OAuthSignatureTypeRSASHA1 || t == OAuthSignatureTypeRSASHA256; }

void setIfPresent(Dictionary& d, std::string_view key, const std::optional<std::string>& value) {
    if (value) d.set(key, *value);
}

void appendSegment(std::string& out, bool first, std::string_view name, std::string_view value) {
    if (!first) out.push_back(',');
    out.append(name);
    out += "=\"";
    out.append(value);
    out.push_back('"');
}

std::string_view storedText(const Dictionary& d, std::string_view key) {
    const Value* v = d.find(key);
    return v && v->isString() ? v->asString() : std::string_view();
}

}  // namespace

ZRBOAuthProvider::~ZRBOAuthProvider() { detail::secureWipe(P12Password_); }

void ZRBOAuthProvider::setP12Password(std::optional<std::string> v) {
    detail::secureWipe(P12Password_);
    P12Password_ = std::move(v);
    detail::secureWipe(v);
}

ZRBOAuthProvider ZRBOAuthProvider::initWith(
    HTTPMethodType method, OAuthURLSchemeType urlScheme, const std::string& host, const std::string& urlpath,
    const std::optional<Dictionary>& queryparams, const std::optional<std::string>& consumerkey,
    const std::optional<std::string>& privatekeyp12, const std::optional<std::string>& P12Password,
    OAuthSignatureType oAuthSignatureType, const std::optional<std::string>& requestbody) {
    return build(method, urlScheme, host, urlpath, queryparams, consumerkey, privatekeyp12, std::nullopt, P12Password,
                 oAuthSignatureType, requestbody);
}

ZRBOAuthProvider ZRBOAuthProvider::initWith(
    HTTPMethodType method, OAuthURLSchemeType urlScheme, const std::string& host, const std::string& urlpath,
    const std::optional<Dictionary>& queryparams, const std::optional<std::string>& consumerkey,
    const KeySource& keySource, const std::optional<std::string>& P12Password, OAuthSignatureType oAuthSignatureType,
    const std::optional<std::string>& requestbody) {
    std::optional<std::string> resourceName;
    if (keySource.kind() == KeySource::Kind::Resource) resourceName = keySource.location();
    return build(method, urlScheme, host, urlpath, queryparams, consumerkey, resourceName, keySource, P12Password,
                 oAuthSignatureType, requestbody);
}

ZRBOAuthProvider ZRBOAuthProvider::build(HTTPMethodType method, OAuthURLSchemeType urlScheme, const std::string& host,
                                         const std::string& urlpath, const std::optional<Dictionary>& queryparams,
                                         const std::optional<std::string>& consumerkey,
                                         const std::optional<std::string>& privatekeyp12,
                                         const std::optional<KeySource>& keySource,
                                         const std::optional<std::string>& P12Password,
                                         OAuthSignatureType oAuthSignatureType,
                                         const std::optional<std::string>& requestbody) {
    ZRBOAuthProvider p;
    p.httpMethod_ = tableEntry(HTTPMethodTypeToString, method);
    p.URLScheme_ = tableEntry(OAuthURLSchemeTypeToString, urlScheme);
    p.host_ = host;
    p.URLPath_ = urlpath;
    // The signer's own copy: later changes to the caller's map must not reach it.
    if (queryparams) p.queryParams_ = queryparams->deepCopy();
    p.consumerKey_ = consumerkey;
    p.privateKeyP12_ = privatekeyp12;
    p.merchantKeySource_ = keySource;
    p.P12Password_ = P12Password;
    p.oAuthSignatureType_ = oAuthSignatureType;
    if (requestbody) p.setupRequestBodyHash(*requestbody);
    p.setupOAuthHeaders();
    p.setupSignatureBaseString();
    p.setupEncodedSignature();
    return p;
}

std::string ZRBOAuthProvider::completeServiceURL() const {
    std::string url;
    url.reserve((URLScheme_ ? URLScheme_->size() : 0) + (host_ ? host_->size() : 0) +
                (URLPath_ ? URLPath_->size() : 0));
    if (URLScheme_) url += *URLScheme_;
    if (host_) url += *host_;
    if (URLPath_) url += *URLPath_;
    return url;
}

std::string ZRBOAuthProvider::URLWithQueriesParams() const {
    std::string url = completeServiceURL();
    bool first = true;
    for (const DictionaryEntry& e : queryParams_) {
        std::optional<std::string> value = textOf(e.value());
        if (!value) continue;
        url.push_back(first ? '?' : '&');
        first = false;
        url.append(e.key());
        url.push_back('=');
        appendEncoded(url, *value, false);
    }
    if (logEnabled()) log("URL : " + url);
    return url;
}

std::string ZRBOAuthProvider::nonce() const { return std::to_string(arc4random_uniform(900000000u) + 100000000u); }

std::string ZRBOAuthProvider::timeStamp() const {
    double now = currentTimeIntervalSince1970();
    // A clock can only be trusted so far: keep the conversion defined.
    if (!std::isfinite(now)) now = 0;
    now = std::clamp(std::trunc(now), -9.2e18, 9.2e18);
    return std::to_string(static_cast<std::int64_t>(now));
}

std::string ZRBOAuthProvider::encodeString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    appendEncoded(out, text, false);
    return out;
}

std::string ZRBOAuthProvider::keyEncodeString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    appendEncoded(out, text, true);
    return out;
}

void ZRBOAuthProvider::setupRequestBodyHash(const std::string& body) {
    if (!isKnown(oAuthSignatureType_)) return;
    ZRBCryptoHelper helper;
    requestBodyHash_ = isSHA256(oAuthSignatureType_) ? helper.getSHA256HASH(body) : helper.getSHA1HASH(body);
}

void ZRBOAuthProvider::setupOAuthHeaders() {
    oAuthHeaders_.reserve(7);
    if (consumerKey_) oAuthHeaders_.set(kConsumerKey, encodeString(*consumerKey_));
    oAuthHeaders_.set(kNonce, nonce());
    oAuthHeaders_.set(kTimestamp, timeStamp());
    oAuthHeaders_.set(kVersion, "1.0");
    setIfPresent(oAuthHeaders_, kSignatureMethod, tableEntry(OAuthSignatureTypeToString, oAuthSignatureType_));
    setIfPresent(oAuthHeaders_, kBodyHash, requestBodyHash_);
    if (logEnabled()) log("OAuth Headers:" + oAuthHeaders_.description());
}

Dictionary ZRBOAuthProvider::getAllHeaderParamsForBaseString() const {
    Dictionary all;
    all.reserve(oAuthHeaders_.size() + queryParams_.size());
    for (const DictionaryEntry& e : oAuthHeaders_) all.set(e.key(), e.value());
    // A null query value is no value: it neither appears nor hides an OAuth one.
    for (const DictionaryEntry& e : queryParams_)
        if (!e.value().isNull()) all.set(e.key(), e.value());
    return all;
}

void ZRBOAuthProvider::setupSignatureBaseString() {
    // The entries getAllHeaderParamsForBaseString would hold, without building
    // that map: the OAuth ones, then the query's, which win on equal names.
    std::vector<const DictionaryEntry*> sorted;
    sorted.reserve(oAuthHeaders_.size() + queryParams_.size());
    for (const DictionaryEntry& e : oAuthHeaders_)
        if (!e.value().isNull()) sorted.push_back(&e);
    const std::size_t oAuthCount = sorted.size();
    for (const DictionaryEntry& e : queryParams_) {
        if (e.value().isNull()) continue;
        auto same = std::find_if(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(oAuthCount),
                                 [&](const DictionaryEntry* o) { return o->key() == e.key(); });
        if (same != sorted.begin() + static_cast<std::ptrdiff_t>(oAuthCount))
            *same = &e;
        else
            sorted.push_back(&e);
    }
    // Byte order of the names: char_traits<char> compares as unsigned char.
    std::sort(sorted.begin(), sorted.end(),
              [](const DictionaryEntry* a, const DictionaryEntry* b) { return a->key() < b->key(); });

    // name=keyEncodeString(value) joined by "&" (no trailing "&" to remove).
    std::string params;
    for (const DictionaryEntry* e : sorted) {
        if (!params.empty()) params.push_back('&');
        params.append(e->key());
        params.push_back('=');
        if (e->value().isString())
            appendEncoded(params, e->value().asString(), true);
        else
            appendEncoded(params, e->value().description(), true);
    }

    const std::string method = httpMethod_.value_or(std::string());
    std::string base;
    base.reserve(method.size() + 2 + 2 * params.size());
    base += method;
    base.push_back('&');
    appendEncoded(base, completeServiceURL(), false);
    base.push_back('&');
    appendEncoded(base, params, false);
    if (logEnabled()) log("OAuth Signature base string:" + base);
    oAuthSignatureBaseString_ = std::move(base);
}

void ZRBOAuthProvider::setupEncodedSignature() {
    if (!isKnown(oAuthSignatureType_)) return;
    const std::string& base = oAuthSignatureBaseString_ ? *oAuthSignatureBaseString_ : std::string();
    if (!merchantKeySource_ && !privateKeyP12_) {
        log("Merchant key: no key: no key file name given");
        keyStatus_ = KeyStatus::NotNamed;
        return;
    }
    // The signer knows where the key is (in process or in a token); this only asks it.
    detail::MerchantSignature sig = detail::signWithMerchantKey(
        merchantKeySource_ ? *merchantKeySource_ : KeySource::resource(*privateKeyP12_), P12Password_,
        isSHA256(oAuthSignatureType_) ? DigestAlgorithm::SHA256 : DigestAlgorithm::SHA1, base);
    keyStatus_ = sig.status;
    if (!sig.signature) return;
    std::string encoded = encodeString(base64Encode(*sig.signature));
    if (logEnabled()) log("OAuth Signature: " + encoded);
    oAuthHeaders_.set(kSignature, std::move(encoded));
}

std::string ZRBOAuthProvider::oAuthHeader() const {
    std::string h;
    h.reserve(512);
    h += "OAuth ";
    appendSegment(h, true, kConsumerKey, storedText(oAuthHeaders_, kConsumerKey));
    appendSegment(h, false, kNonce, storedText(oAuthHeaders_, kNonce));
    // The plain Base64 text, not the map entry and not encoded.
    if (requestBodyHash_) appendSegment(h, false, kBodyHash, *requestBodyHash_);
    for (const char* name : {kSignature, kSignatureMethod, kTimestamp, kVersion})
        appendSegment(h, false, name, storedText(oAuthHeaders_, name));
    if (logEnabled()) log("OAuth Authorization Header: " + h);
    return h;
}

namespace detail {
namespace {

SignedRequest outcome(URLRequest request, const ZRBOAuthProvider& signer) {
    SignedRequest out{std::move(request), signer.oAuthHeaders().contains(kSignature), KeyStatus::NotNamed,
                      std::nullopt};
    out.keyStatus = signer.keyStatus().value_or(KeyStatus::NotNamed);
    if (signer.merchantKeySource()) {
        out.keySource = signer.merchantKeySource();
    } else if (signer.privateKeyP12()) {
        out.keySource = KeySource::resource(*signer.privateKeyP12());
    }
    return out;
}

SignedRequest finishGET(const ZRBOAuthProvider& signer) {
    URLRequest request(signer.URLWithQueriesParams(), URLRequestReloadIgnoringLocalCacheData, 180.0);
    request.setHTTPMethod(HTTPMethodTypeToString[HTTPMethodTypeGET]);
    request.setHTTPBody(std::nullopt);
    request.setValue(signer.oAuthHeader(), kAuthorization);
    return outcome(std::move(request), signer);
}

SignedRequest finishPOST(const ZRBOAuthProvider& signer, const std::optional<std::string>& requestBody,
                         const std::string& contentType) {
    URLRequest request(signer.URLWithQueriesParams(), URLRequestReloadIgnoringLocalCacheData, 180.0);
    request.setHTTPMethod(HTTPMethodTypeToString[HTTPMethodTypePOST]);
    // The very bytes the body hash covers.
    request.setHTTPBody(requestBody);
    request.setValue(contentType, kHTTPContentType);
    request.setValue(signer.oAuthHeader(), kAuthorization);
    return outcome(std::move(request), signer);
}

}  // namespace

SignedRequest buildSignedGET(OAuthURLSchemeType scheme, const std::string& host, const std::string& urlPath,
                             const std::optional<Dictionary>& queryparam, const std::optional<std::string>& consumerkey,
                             const std::optional<std::string>& privatep12, const std::optional<KeySource>& keySource,
                             const std::optional<std::string>& passwordp12, OAuthSignatureType outhSigntype) {
    if (keySource) {
        return finishGET(ZRBOAuthProvider::initWith(HTTPMethodTypeGET, scheme, host, urlPath, queryparam, consumerkey,
                                                    *keySource, passwordp12, outhSigntype, std::nullopt));
    }
    return finishGET(ZRBOAuthProvider::initWith(HTTPMethodTypeGET, scheme, host, urlPath, queryparam, consumerkey,
                                                privatep12, passwordp12, outhSigntype, std::nullopt));
}

SignedRequest buildSignedPOST(OAuthURLSchemeType scheme, const std::string& host, const std::string& urlPath,
                              const std::optional<std::string>& consumerKey,
                              const std::optional<std::string>& privatep12, const std::optional<KeySource>& keySource,
                              const std::optional<std::string>& passwordp12, OAuthSignatureType outhSigntype,
                              const std::optional<std::string>& requestBody, const std::string& contentType) {
    if (keySource) {
        return finishPOST(ZRBOAuthProvider::initWith(HTTPMethodTypePOST, scheme, host, urlPath, std::nullopt,
                                                     consumerKey, *keySource, passwordp12, outhSigntype, requestBody),
                          requestBody, contentType);
    }
    return finishPOST(ZRBOAuthProvider::initWith(HTTPMethodTypePOST, scheme, host, urlPath, std::nullopt, consumerKey,
                                                 privatep12, passwordp12, outhSigntype, requestBody),
                      requestBody, contentType);
}

}  // namespace detail

URLRequest ZRBOAuthProvider::GETURLRequest(OAuthURLSchemeType scheme, const std::string& host,
                                           const std::string& urlPath, const std::optional<Dictionary>& queryparam,
                                           const std::optional<std::string>& consumerkey,
                                           const std::optional<std::string>& privatep12,
                                           const std::optional<std::string>& passwordp12,
                                           OAuthSignatureType outhSigntype) const {
    return detail::buildSignedGET(scheme, host, urlPath, queryparam, consumerkey, privatep12, std::nullopt,
                                  passwordp12, outhSigntype)
        .request;
}

URLRequest ZRBOAuthProvider::GETURLRequest(OAuthURLSchemeType scheme, const std::string& host,
                                           const std::string& urlPath, const std::optional<Dictionary>& queryparam,
                                           const std::optional<std::string>& consumerkey, const KeySource& keySource,
                                           const std::optional<std::string>& passwordp12,
                                           OAuthSignatureType outhSigntype) const {
    return detail::buildSignedGET(scheme, host, urlPath, queryparam, consumerkey, std::nullopt, keySource, passwordp12,
                                  outhSigntype)
        .request;
}

URLRequest ZRBOAuthProvider::POSTURLRequest(OAuthURLSchemeType scheme, const std::string& host,
                                            const std::string& urlPath, const std::optional<std::string>& consumerKey,
                                            const std::optional<std::string>& privatep12,
                                            const std::optional<std::string>& passwordp12,
                                            OAuthSignatureType outhSigntype,
                                            const std::optional<std::string>& requestBody,
                                            const std::string& contentType) const {
    return detail::buildSignedPOST(scheme, host, urlPath, consumerKey, privatep12, std::nullopt, passwordp12,
                                   outhSigntype, requestBody, contentType)
        .request;
}

URLRequest ZRBOAuthProvider::POSTURLRequest(OAuthURLSchemeType scheme, const std::string& host,
                                            const std::string& urlPath, const std::optional<std::string>& consumerKey,
                                            const KeySource& keySource, const std::optional<std::string>& passwordp12,
                                            OAuthSignatureType outhSigntype,
                                            const std::optional<std::string>& requestBody,
                                            const std::string& contentType) const {
    return detail::buildSignedPOST(scheme, host, urlPath, consumerKey, std::nullopt, keySource, passwordp12,
                                   outhSigntype, requestBody, contentType)
        .request;
}

}  // namespace orvalis
