#pragma once

#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Transport/URLRequest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvalis {

/// Domain of every Error the URL session reports for a failed exchange.
inline constexpr const char* URLErrorDomain = "org.orvalis.URLErrorDomain";

/// Codes of URLErrorDomain. They are stable; see docs/transport-errors.md.
enum URLErrorCode : std::int64_t {
    URLErrorUnknown = -1,                        ///< Any other transfer failure (out of memory, internal error).
    URLErrorCancelled = -999,                    ///< The transfer was aborted.
    URLErrorBadURL = -1000,                      ///< The URL cannot be parsed.
    URLErrorTimedOut = -1001,                    ///< No byte moved for the request's time-out.
    URLErrorUnsupportedURL = -1002,              ///< A scheme other than "https" or "http".
    URLErrorCannotFindHost = -1003,              ///< The host name does not resolve.
    URLErrorCannotConnectToHost = -1004,         ///< The connection was refused or could not be made.
    URLErrorNetworkConnectionLost = -1005,       ///< The connection closed before the answer was complete.
    URLErrorBadServerResponse = -1011,           ///< The answer is not HTTP.
    URLErrorCannotDecodeContentData = -1016,     ///< A gzip or deflate body that does not decode.
    URLErrorDataLengthExceedsMaximum = -1103,    ///< The body exceeds the configured maximum size.
    URLErrorSecureConnectionFailed = -1200,      ///< The TLS handshake failed.
    URLErrorServerCertificateUntrusted = -1202,  ///< The chain is untrusted, out of date or for another host.
    URLErrorServerPublicKeyPinMismatch = -1210,  ///< The server's key matches none pinned for its host.
    URLErrorBadRequest = -1220,                  ///< Refused before sending: a malformed method or header.
    URLErrorBadHost = -1230,  ///< Refused before sending: the host is not name, IPv4 or [IPv6], optional port.
    URLErrorCannotSignRequest = -1231,  ///< Not sent: no signature could be made and one is required.
    URLErrorCannotWriteBody = -1232,    ///< Refused before sending: the body cannot be written (bad UTF-8, NaN).
    URLErrorBadPathSegment = -1233,     ///< Refused before sending: an id that cannot stand in the URL path as it is.
    URLErrorCannotRecordRequest = -1234,  ///< Not sent: the client's journal could not record the attempt.
};

/// userInfo key of the URL that a URL session error concerns.
inline constexpr const char* URLErrorFailingURLStringKey = "NSErrorFailingURLStringKey";
/// userInfo key of the transfer library's own error number, when it reported one.
inline constexpr const char* URLErrorCurlCodeKey = "CURLcode";
/// userInfo key of the value (a host or a path id) a request was refused for.
inline constexpr const char* URLErrorRefusedValueKey = "OrvalisRefusedValue";
/// userInfo key, with URLErrorCannotSignRequest, of why there was no key (describe(KeyStatus)).
inline constexpr const char* URLErrorKeyStatusKey = "OrvalisKeyStatus";
/// userInfo key, with URLErrorCannotSignRequest, of where the key was to come from (KeySource::description()).
inline constexpr const char* URLErrorKeySourceKey = "OrvalisKeySource";

/// What the server answered, apart from the body: status code, the URL asked
/// for, and the header fields of the final answer in the order received.
struct ORVALIS_EXPORT HTTPURLResponse {
    /// The HTTP status code of the final answer, e.g. 200.
    long statusCode = 0;
    /// The URL the request was sent to (redirects are never followed).
    std::string URL;
    /// Header fields as received: names as the server wrote them, repeats kept.
    std::vector<std::pair<std::string, std::string>> headers;
    /// The value of a header field (names compare case-insensitively), or no value.
    std::optional<std::string> valueForHTTPHeaderField(std::string_view field) const;
};

/// How long the phases of one exchange took, each counted from the start of its
/// transfer. Never decreasing in this order. A reused connection shows, for the
/// lookup, connect and TLS phases, when it was taken over (a short time, not 0);
/// plain HTTP shows the connect time for TLS.
struct URLSessionTaskMetrics {
    std::chrono::microseconds nameLookup{0};        ///< name resolved
    std::chrono::microseconds connect{0};           ///< TCP connection made
    std::chrono::microseconds secureConnection{0};  ///< TLS handshake done
    std::chrono::microseconds firstByte{0};         ///< first byte of the answer received
    std::chrono::microseconds total{0};             ///< transfer ended
};

/// Called exactly once per resumed task, on the session's delivery thread, with the
/// body bytes (none on failure), the answer's metadata (when headers arrived) and an
/// error (none on success).
using DataTaskCompletion = std::function<void(std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                                              std::optional<Error> error)>;

namespace detail {
struct TaskState;
struct TaskControl;
struct TransportSettings;
class SessionImpl;
}  // namespace detail
class URLSessionDataTask;
namespace detail {
void useTransportSettings(URLSessionDataTask& task, std::shared_ptr<const TransportSettings> settings) noexcept;
}  // namespace detail

/// One exchange prepared by URLSession::dataTaskWithRequest. Nothing is sent until
/// resume(); a task dropped without resume() never calls its completion.
class ORVALIS_EXPORT URLSessionDataTask {
public:
    /// Takes over other's exchange; other is left empty and its resume() does nothing.
    URLSessionDataTask(URLSessionDataTask&& other) noexcept;
    /// Takes over other's exchange; a task held here and not yet resumed is dropped
    /// (its completion never runs).
    URLSessionDataTask& operator=(URLSessionDataTask&& other) noexcept;
    /// Drops a task that was never resumed; a resumed one runs to completion.
    ~URLSessionDataTask();

    /// Hands the task to the session's delivery thread. Calls after the first do nothing.
    /// Throws std::system_error (the task not started) if that thread cannot be created.
    void resume();

    /// Ends the task with URLErrorCancelled: before resume() (it then ends as soon as
    /// it is resumed) or during the exchange, releasing its transfer at once. After
    /// completion it does nothing. Any thread; completion still runs exactly once.
    void cancel();

    /// Ends the task with URLErrorTimedOut once the steady clock passes deadline,
    /// whatever moves. Call before resume(); later calls do nothing.
    void setDeadline(std::chrono::steady_clock::time_point deadline) noexcept;

    /// Whether any byte of the request may have gone out: false when the task
    /// failed before its connection was ready. Read it from the completion or later.
    bool requestMayHaveBeenSent() const noexcept;

    /// The phases of the exchange (all zero when no transfer ran). Read it from the
    /// completion or later, on the thread that ran the completion.
    URLSessionTaskMetrics metrics() const noexcept;

private:
    friend class URLSession;
    friend void detail::useTransportSettings(URLSessionDataTask&, std::shared_ptr<const detail::TransportSettings>) noexcept;
    URLSessionDataTask(detail::SessionImpl* session, std::unique_ptr<detail::TaskState> state) noexcept;
    detail::SessionImpl* session_;
    std::unique_ptr<detail::TaskState> state_;
    std::shared_ptr<detail::TaskControl> control_;
};

/// How many connections and HTTP/2 streams the shared session uses at once. A task
/// past them waits in the session's queue until a connection or stream is free.
/// The defaults suit a payment host talking to one API host: up to 32 requests at
/// its server at once over HTTP/1.1, and over HTTP/2 as many as the server allows
/// up to 32,000 (32 connections of 1,000 streams).
struct ConnectionLimits {
    /// Connections to one host (name and port) at once; over HTTP/1.1 also the most
    /// requests that host sees together. 1 to maxConnections.
    long maxConnectionsPerHost = 32;
    /// Connections to all hosts at once, and how many idle ones are kept for reuse. 1 to 65,535.
    long maxConnections = 128;
    /// Requests at once on one HTTP/2 connection, when its server allows that many
    /// (it may allow fewer). 1 to 2,147,483,647.
    long maxStreamsPerConnection = 1000;

    /// Whether every value is within its range.
    constexpr bool valid() const noexcept {
        return maxConnections >= 1 && maxConnections <= 65535 &&  // each connection needs a local port
               maxConnectionsPerHost >= 1 && maxConnectionsPerHost <= maxConnections &&
               maxStreamsPerConnection >= 1 && maxStreamsPerConnection <= 2147483647;  // HTTP/2's own bound
    }
};

/// Trust and size settings of the shared session; changes apply to tasks resumed
/// afterwards. Peer and host-name verification can never be switched off.
class ORVALIS_EXPORT URLSessionConfiguration {
public:
    /// Trusts the certificates of a PEM file in addition to the system store.
    /// Returns false (and changes nothing) when the file holds no readable certificate.
    bool addTrustedCertificates(const std::string& pemPath);
    /// Requires the server for host (a name or IP, compared case-insensitively) to
    /// present one of the public keys given as "sha256//<base64>" entries joined by
    /// ";". An empty pin list removes the pin. Returns false for a malformed list.
    bool pinPublicKeys(const std::string& host, const std::string& pins);
    /// Largest answer body, after decompression, that a task accepts; larger answers
    /// fail with URLErrorDataLengthExceedsMaximum. Default 16 MiB (answers of this
    /// API are kilobytes; decoding may take up to 8 times the body). Any thread.
    void setMaximumResponseSize(std::uint64_t bytes) noexcept;
    /// The largest answer body accepted, in bytes (see setMaximumResponseSize).
    std::uint64_t maximumResponseSize() const noexcept;
    /// Sets how many connections and streams the session uses at once, for every
    /// task from now on, waiting ones included; a lower limit closes the idle connections.
    /// Returns false (and changes nothing) when a value is out of its range (see ConnectionLimits). Any thread.
    bool setConnectionLimits(const ConnectionLimits& limits);
    /// The limits in force (see setConnectionLimits). Any thread.
    ConnectionLimits connectionLimits() const;

private:
    friend class URLSession;
    explicit URLSessionConfiguration(detail::SessionImpl* session) noexcept : session_(session) {}
    detail::SessionImpl* session_;
};

class URLSession;
namespace detail {
/// The session of clients whose connection limits are limits: one per set of limits,
/// made on first need and kept for the process's life; the shared session when unset.
URLSession& sessionFor(const std::optional<ConnectionLimits>& limits);
}  // namespace detail

/// The process-wide URL session: one libcurl multi handle driven by one delivery
/// thread started with the first task. TLS 1.2 or later, verification always on, no
/// redirects; requests go out as built, with only "Accept-Encoding: gzip, deflate" added.
/// Proxies come from libcurl's environment variables (https_proxy, http_proxy,
/// all_proxy, no_proxy). A Client adds its user agent and may name its own proxy and
/// anchors (ClientConfiguration).
class ORVALIS_EXPORT URLSession {
public:
    /// The shared session, created on first use and never destroyed.
    static URLSession& sharedSession();

    /// Prepares a task that sends request unchanged (method, URL, header fields,
    /// body). The request's time-out is an idle time-out: the task fails when no
    /// byte moves for that long. Exceptions thrown by completion are caught and logged.
    URLSessionDataTask dataTaskWithRequest(const URLRequest& request, DataTaskCompletion completion);

    /// The session's trust and size settings, shared by every task.
    URLSessionConfiguration& configuration() noexcept;

    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

private:
    friend URLSession& detail::sessionFor(const std::optional<ConnectionLimits>& limits);
    URLSession();
    explicit URLSession(detail::SessionImpl* impl);
    ~URLSession();
    detail::SessionImpl* impl_;
    URLSessionConfiguration configuration_;
};

}  // namespace orvalis
