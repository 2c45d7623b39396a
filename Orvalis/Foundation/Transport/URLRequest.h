#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <Orvalis/Foundation/Export.h>

namespace orvalis {

/// Cache policies of a URLRequest.
enum URLRequestCachePolicy : int {
    /// The transport's default: the session keeps no cache, so answers always come from the server.
    URLRequestUseProtocolCachePolicy = 0,
    /// Any locally cached answer is ignored: the request always goes to the server.
    URLRequestReloadIgnoringLocalCacheData = 1,
};

/// An HTTP request as the transport sends it: URL, method, optional body,
/// header fields in the order set, cache policy and time-out.
class ORVALIS_EXPORT URLRequest {
public:
    /// A GET request for url with no body and no header fields; the url is kept
    /// as given (checked only when the request is sent).
    explicit URLRequest(std::string url, int cachePolicy = URLRequestUseProtocolCachePolicy,
                        double timeoutInterval = 60.0);

    /// The URL, as given to the constructor.
    const std::string& URL() const noexcept { return url_; }
    /**@{*/
    /// The HTTP method, "GET" unless set; sent as written.
    const std::string& HTTPMethod() const noexcept { return method_; }
    void setHTTPMethod(std::string method) { method_ = std::move(method); }
    /**@}*/
    /**@{*/
    /// The body bytes; no value means no body (as distinct from an empty one).
    const std::optional<std::string>& HTTPBody() const noexcept { return body_; }
    void setHTTPBody(std::optional<std::string> body) { body_ = std::move(body); }
    /**@}*/
    /// The cache policy given to the constructor (a URLRequestCachePolicy value).
    int cachePolicy() const noexcept { return cachePolicy_; }
    /**@{*/
    /// Seconds without progress after which the transfer is abandoned.
    double timeoutInterval() const noexcept { return timeout_; }
    void setTimeoutInterval(double seconds) noexcept { timeout_ = seconds; }
    /**@}*/

    /// The value of a header field (names compare case-insensitively), or no value.
    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
    /// Sets a header field, replacing one of the same name in its place; no
    /// value removes it.
    void setValue(std::optional<std::string> value, std::string_view field);
    /// All header fields, in the order they were first set.
    const std::vector<std::pair<std::string, std::string>>& allHTTPHeaderFields() const noexcept { return headers_; }

private:
    std::string url_;
    std::string method_ = "GET";
    std::optional<std::string> body_;
    int cachePolicy_;
    double timeout_;
    std::vector<std::pair<std::string, std::string>> headers_;
};

}  // namespace orvalis
