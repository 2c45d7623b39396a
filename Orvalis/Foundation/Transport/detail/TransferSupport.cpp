#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Transport/detail/TransferSupport.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace orvalis::detail {

char asciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), asciiLower);
    return out;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

// RFC 9110 token characters: what a method or a header name may hold.
bool isToken(std::string_view s) noexcept {
    if (s.empty()) return false;
    for (unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7f) return false;
        if (std::strchr("\"(),/:;<=>?@[\\]{}", c) != nullptr) return false;
    }
    return true;
}

// A header value must not be able to start another header line or cut the request.
bool isSafeHeaderValue(std::string_view s) noexcept {
    // Three memchr scans, each many bytes a step: an OAuth header is hundreds of bytes.
    if (s.empty()) return true;
    return std::memchr(s.data(), '\r', s.size()) == nullptr && std::memchr(s.data(), '\n', s.size()) == nullptr &&
           std::memchr(s.data(), '\0', s.size()) == nullptr;
}

std::string hostOfURL(const std::string& url) {
    std::unique_ptr<CURLU, Deleter<curl_url_cleanup>> u(curl_url());
    if (!u || curl_url_set(u.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return {};
    char* host = nullptr;
    if (curl_url_get(u.get(), CURLUPART_HOST, &host, 0) != CURLUE_OK || host == nullptr) return {};
    std::string out = lowered(host);
    curl_free(host);
    return out;
}

// The scheme as libcurl will read it (case-insensitive, before "://").
bool schemeIsHTTPS(std::string_view url) noexcept {
    const size_t end = url.find("://");
    return end != std::string_view::npos && equalsIgnoringCase(url.substr(0, end), "https");
}

namespace {

struct ErrorKind {
    URLErrorCode code;
    const char* text;
};

// The one place where libcurl's codes become the session's own.
ErrorKind classify(CURLcode code) noexcept {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return {URLErrorTimedOut, "The request timed out."};
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return {URLErrorCannotFindHost, "A server with the specified hostname could not be found."};
        case CURLE_COULDNT_CONNECT:
            return {URLErrorCannotConnectToHost, "Could not connect to the server."};
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return {URLErrorNetworkConnectionLost, "The network connection was lost."};
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_HTTP3:
            return {URLErrorBadServerResponse, "The server's answer could not be read."};
        case CURLE_BAD_CONTENT_ENCODING:
            return {URLErrorCannotDecodeContentData, "The answer's content encoding could not be decoded."};
        case CURLE_FILESIZE_EXCEEDED:
            return {URLErrorDataLengthExceedsMaximum, "The answer is larger than the session accepts."};
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED:
            return {URLErrorSecureConnectionFailed,
                    "A TLS error has occurred and a secure connection to the "
                    "server cannot be made."};
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return {URLErrorServerCertificateUntrusted, "The server's certificate is not trusted for this host."};
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return {URLErrorServerPublicKeyPinMismatch, "The server's public key does not match the pinned keys."};
        case CURLE_URL_MALFORMAT:
            return {URLErrorBadURL, "The URL is malformed."};
        case CURLE_UNSUPPORTED_PROTOCOL:
            return {URLErrorUnsupportedURL, "The URL's scheme is not supported."};
        case CURLE_ABORTED_BY_CALLBACK:
            return {URLErrorCancelled, "The request was cancelled."};
        default:
            return {URLErrorUnknown, "The request failed."};
    }
}

}  // namespace

// Our description first, then libcurl's own code and message, so logs show both.
Error makeURLError(CURLcode code, const std::string& url, std::string_view detail) {
    const ErrorKind kind = classify(code);
    std::string text = kind.text;
    text += " (libcurl ";
    text += std::to_string(static_cast<int>(code));
    text += ": ";
    text += detail.empty() ? std::string_view(curl_easy_strerror(code)) : detail;
    text += ")";
    Dictionary info{{NSLocalizedDescriptionKey, Value(text)},
                    {URLErrorFailingURLStringKey, Value(url)},
                    {URLErrorCurlCodeKey, Value(static_cast<std::int64_t>(code))}};
    return Error(URLErrorDomain, kind.code, std::move(info));
}

URLSessionTaskMetrics readMetrics(CURL* easy) noexcept {
    using std::chrono::microseconds;
    URLSessionTaskMetrics m;
    const CURLINFO phases[] = {CURLINFO_NAMELOOKUP_TIME_T, CURLINFO_CONNECT_TIME_T, CURLINFO_APPCONNECT_TIME_T,
                               CURLINFO_STARTTRANSFER_TIME_T, CURLINFO_TOTAL_TIME_T};
    microseconds* fields[] = {&m.nameLookup, &m.connect, &m.secureConnection, &m.firstByte, &m.total};
    curl_off_t previous = 0;
    for (int i = 0; i < 5; ++i) {
        curl_off_t value = 0;
        if (easy == nullptr || curl_easy_getinfo(easy, phases[i], &value) != CURLE_OK) value = 0;
        // Each phase ends no earlier than the one before: plain HTTP (no TLS) reports zero there.
        previous = std::max(previous, value);
        *fields[i] = microseconds(previous);
    }
    return m;
}

}  // namespace orvalis::detail
