#include <Orvalis/Foundation/System/Random.h>
#include <Orvalis/ServiceInfrastructure/detail/RetryRules.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>

namespace orvalis::detail {

using std::chrono::milliseconds;

bool mayRetry(bool readOnly, const std::optional<Error>& transportError, long status, Reached reached) noexcept {
    if (!transportError) return readOnly && (status == 429 || status == 502 || status == 503 || status == 504);
    if (transportError->domain() != URLErrorDomain) return false;
    switch (transportError->code()) {
        case URLErrorCancelled:                   // the host's own decision
        case URLErrorServerCertificateUntrusted:  // a server not to be talked to, however often asked
        case URLErrorServerPublicKeyPinMismatch:
        case URLErrorBadURL:  // refused locally: refused again the same way
        case URLErrorUnsupportedURL:
        case URLErrorBadRequest:
        case URLErrorBadHost:
        case URLErrorCannotSignRequest:
        case URLErrorCannotWriteBody:
        case URLErrorBadPathSegment:
            return false;
        case URLErrorCannotFindHost:
        case URLErrorCannotConnectToHost:
            return true;  // never connected: nothing was sent
        case URLErrorTimedOut:
        case URLErrorNetworkConnectionLost:
            // Sent, or perhaps sent: only a read may go twice.
            return reached == Reached::No || readOnly;
        default:
            // Whatever failed (a reset during the TLS handshake, say), a request
            // none of whose bytes left may go again, payment or not.
            return reached == Reached::No;
    }
}

std::optional<milliseconds> retryAfter(const std::optional<HTTPURLResponse>& response) {
    if (!response) return std::nullopt;
    std::optional<std::string> value = response->valueForHTTPHeaderField("Retry-After");
    if (!value) return std::nullopt;
    std::string_view text(*value);
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.empty() || text.size() > 9) return std::nullopt;  // an HTTP date, or beyond any sane pause
    long long seconds = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        seconds = seconds * 10 + (c - '0');
    }
    return milliseconds(seconds * 1000);
}

milliseconds backoffBefore(int next, const RetryPolicy& policy) {
    milliseconds pause = policy.initialBackoff;
    for (int i = 2; i < next && pause < policy.maxBackoff; ++i) pause *= 2;
    pause = std::min(pause, policy.maxBackoff);
    // Jitter spreads clients that failed together, so they do not return together.
    const auto half = static_cast<std::uint32_t>(std::min<long long>(pause.count() / 2, 0x7fffffff));
    return pause - milliseconds(half == 0 ? 0 : arc4random_uniform(half + 1));
}

void checkRetryPolicy(const RetryPolicy& policy) {
    if (policy.maxAttempts < 0 || policy.maxAttempts > RetryPolicy::kMaxAttempts) {
        throw std::invalid_argument("the retry policy's attempts must be 0 to " +
                                    std::to_string(RetryPolicy::kMaxAttempts));
    }
    if (policy.initialBackoff < milliseconds::zero() || policy.maxBackoff < policy.initialBackoff ||
        policy.maxBackoff > milliseconds(3600000) || policy.maxRetryAfter < milliseconds::zero()) {
        throw std::invalid_argument(
            "the retry policy's pauses must be 0 or more, the longest at least the first and at most an hour");
    }
}

}  // namespace orvalis::detail
