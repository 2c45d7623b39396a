#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Foundation/Transport/detail/URLParts.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/Utils/Crypto/KeySource.h>
#include <Orvalis/Utils/Crypto/ZRBKeychainManager.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

using namespace orvalis;
using orvalis::detail::copyForCaller;
using orvalis::detail::covers;
using orvalis::detail::failWith;
using orvalis::detail::guarded;

namespace {

struct SplitURL {
    bool https = true;
    std::string host;  // with ":port" when the URL gives one
    std::string path;
    Dictionary query;
};

// The URL split as the signer takes a request: the query's name=value pairs
// stay as written, since the signer decodes them itself.
std::optional<std::string> splitURL(const char* text, SplitURL& out) {
    const std::optional<detail::URLParts> url = detail::parseURL(text);
    if (!url) return "not a URL: " + std::string(text);
    if (url->scheme != "https" && url->scheme != "http") return "the URL must begin with https:// or http://";
    if (url->hasFragment) return "a URL fragment (#...) is never sent";
    if (url->hasUser) return "a URL with a user name is not a request of this library";
    out.https = url->scheme == "https";
    out.host = url->host + (url->port ? ":" + *url->port : "");
    out.path = url->path;
    const std::string& query = url->query;
    std::size_t start = 0;
    while (start < query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string_view pair = std::string_view(query).substr(start, end - start);
        start = end + 1;
        if (pair.empty()) continue;
        const std::size_t eq = pair.find('=');
        if (eq == 0 || eq == std::string_view::npos)
            return "query parameter \"" + std::string(pair) + "\" is not name=value";
        const std::string name(pair.substr(0, eq));
        if (out.query.find(name) != nullptr) return "query parameter \"" + name + "\" is given twice";
        out.query.set(name, Value(std::string(pair.substr(eq + 1))));
    }
    return std::nullopt;
}

}  // namespace

extern "C" {

orvalis_status orvalis_sign(const orvalis_sign_request* request, char** base_string_out, char** authorization_out) {
    if (base_string_out != nullptr) *base_string_out = nullptr;
    if (authorization_out != nullptr) *authorization_out = nullptr;
    if (!covers(request) || request->url == nullptr || request->key_source == nullptr ||
        (request->body == nullptr && request->body_length > 0)) {
        return failWith(ORVALIS_ERROR_INVALID_ARGUMENT, "no request, URL or key source, or a struct_size that cuts a field");
    }
    return guarded([&] {
        const std::string_view method = request->method ? request->method : (request->body ? "POST" : "GET");
        if (method != "GET" && method != "POST")
            return failWith(ORVALIS_ERROR_MALFORMED_INPUT, "the method is GET or POST");
        const std::string_view timestamp = request->timestamp ? request->timestamp : "";
        if (request->timestamp && (timestamp.empty() || timestamp.find_first_not_of("0123456789") != timestamp.npos)) {
            return failWith(ORVALIS_ERROR_MALFORMED_INPUT, "the timestamp is seconds since 1970, digits only");
        }
        SplitURL url;
        if (auto problem = splitURL(request->url, url)) return failWith(ORVALIS_ERROR_MALFORMED_INPUT, *problem);

        const KeySource& key = request->key_source->source;
        const std::optional<std::string> password =
            request->password ? std::optional<std::string>(request->password) : std::nullopt;
        // A token key needs no certificate to sign: the signer names its refusal below.
        const KeyCheck check = key.kind() == KeySource::Kind::Token
                                   ? KeyCheck{KeyStatus::Loaded, std::nullopt}
                                   : ZRBKeychainManager::sharedInstance().checkKey(key, password);
        if (check.status != KeyStatus::Loaded) {
            return failWith(ORVALIS_ERROR_KEY, key.description() + ": " + std::string(describe(check.status)));
        }

        // The signer's own steps, as initWith runs them, with room for a logged
        // nonce and timestamp.
        const auto type = request->sha256 ? OAuthSignatureTypeRSASHA256 : OAuthSignatureTypeRSASHA1;
        ZRBOAuthProvider signer;
        signer.setHttpMethod(std::string(method));
        signer.setURLScheme(OAuthURLSchemeTypeToString[url.https ? OAuthURLSchemeTypeHTTPS : OAuthURLSchemeTypeHTTP]);
        signer.setHost(url.host);
        signer.setURLPath(url.path);
        signer.setQueryParams(url.query);
        if (request->consumer_key) signer.setConsumerKey(std::string(request->consumer_key));
        signer.setMerchantKeySource(key);
        signer.setP12Password(password);
        signer.setOAuthSignatureType(type);
        if (request->body) signer.setupRequestBodyHash(std::string(request->body, request->body_length));
        signer.setupOAuthHeaders();
        if (request->nonce || request->timestamp) {
            Dictionary headers = signer.oAuthHeaders().deepCopy();
            if (request->nonce) headers.set(kNonce, Value(std::string(request->nonce)));
            if (request->timestamp) headers.set(kTimestamp, Value(std::string(timestamp)));
            signer.setOAuthHeaders(headers);
        }
        signer.setupSignatureBaseString();
        signer.setupEncodedSignature();
        if (signer.oAuthHeaders().find(kSignature) == nullptr) {
            const KeyStatus why = signer.keyStatus().value_or(KeyStatus::SigningFailed);
            return failWith(ORVALIS_ERROR_KEY,
                            key.description() + ": no signature could be made: " + std::string(describe(why)));
        }
        std::unique_ptr<char, decltype(&orvalis_free)> base(
            copyForCaller(signer.oAuthSignatureBaseString().value_or("")), &orvalis_free);
        char* authorization = copyForCaller(signer.oAuthHeader());
        if (base_string_out != nullptr) *base_string_out = base.release();
        if (authorization_out != nullptr) {
            *authorization_out = authorization;
        } else {
            orvalis_free(authorization);
        }
        return ORVALIS_OK;
    });
}

}  // extern "C"
