#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Transport/detail/URLParts.h>
#include <curl/curl.h>

#include <memory>
#include <new>

namespace orvalis::detail {
namespace {

using URLHandle = std::unique_ptr<CURLU, Deleter<curl_url_cleanup>>;

// One part of a parsed URL, or no value when the URL has none.
std::optional<std::string> part(CURLU* url, CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(url, which, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
    std::string copy(text);
    curl_free(text);
    return copy;
}

}  // namespace

std::optional<URLParts> parseURL(const std::string& text) {
    URLHandle url(curl_url());
    if (!url) throw std::bad_alloc();
    // Any scheme, so that the caller can say which it wants; the path as written.
    if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_PATH_AS_IS | CURLU_NON_SUPPORT_SCHEME) !=
        CURLUE_OK) {
        return std::nullopt;
    }
    URLParts parts;
    parts.scheme = part(url.get(), CURLUPART_SCHEME).value_or("");
    parts.host = part(url.get(), CURLUPART_HOST).value_or("");
    parts.port = part(url.get(), CURLUPART_PORT);
    parts.path = part(url.get(), CURLUPART_PATH).value_or("/");
    parts.query = part(url.get(), CURLUPART_QUERY).value_or("");
    parts.hasFragment = part(url.get(), CURLUPART_FRAGMENT).has_value();
    parts.hasUser = part(url.get(), CURLUPART_USER).has_value();
    return parts;
}

}  // namespace orvalis::detail
