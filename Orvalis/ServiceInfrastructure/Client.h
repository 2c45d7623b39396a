#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/ServiceInfrastructure/Answerer.h>
#include <Orvalis/ServiceInfrastructure/Journal.h>
#include <Orvalis/ServiceInfrastructure/Operation.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorisePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBInitializePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDServiceRequest.h>
#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataRequest.h>
#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataRequest.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvalis {

/// The idle time-out of every operation unless the client or the call sets another.
inline constexpr std::chrono::milliseconds kDefaultIdleTimeout{180000};

/// How a Client tries an operation again after a failure that allows it: a
/// request never sent (any operation, whatever the failure: a reset during the
/// TLS handshake too), except to an untrusted server, after a pin mismatch, a
/// local refusal or a cancel; for the GET operations also a lost connection, a
/// time-out, or HTTP 429, 502, 503 or 504. A POST whose request may have reached
/// the server is never sent again. See docs/operations.md.
struct RetryPolicy {
    /// Attempts in all, the first included; 0 or 1 means no retry. At most kMaxAttempts.
    int maxAttempts = 3;
    /// The pause before the second attempt; each later pause doubles, up to
    /// maxBackoff, and a random part of up to half of it is taken off. 0 or more.
    std::chrono::milliseconds initialBackoff{250};
    /// The longest pause between attempts; not below initialBackoff.
    std::chrono::milliseconds maxBackoff{4000};
    /// A server's Retry-After (seconds) is waited for, up to this long; a longer one
    /// ends the operation with that answer's failure instead. 0 or more.
    std::chrono::milliseconds maxRetryAfter{60000};

    /// The most attempts a policy may ask for.
    static constexpr int kMaxAttempts = 10;
};

/// What an OperationObserver is told about.
enum class OperationEventKind {
    Started,       ///< the operation was started (on the thread that started it)
    AttemptEnded,  ///< one attempt's exchange ended (delivery thread)
    Completed,     ///< the operation completed, before anyone waiting for it wakes (delivery thread)
};

/// One event of one operation. The pointers are valid during the observer's call only.
struct OperationEvent {
    OperationEventKind kind = OperationEventKind::Started;
    /// The operation's name, e.g. "getPairingId"; static text.
    const char* operation = "";
    /// AttemptEnded: the attempt's number (1 for the first); Completed: the attempts made.
    int attempt = 0;
    /// AttemptEnded: that attempt.
    const AttemptRecord* attemptRecord = nullptr;
    /// AttemptEnded: the pause before the next attempt, when one follows.
    std::optional<std::chrono::milliseconds> retryIn;
    /// Completed: the operation's result.
    const OperationResult* result = nullptr;
};

/// Called for each OperationEvent of a client's operations (for metrics or
/// tracing). Keep it short: most calls run on the delivery thread. Whatever it
/// throws is logged and ignored.
using OperationObserver = std::function<void(const OperationEvent&)>;

/// What a Client stamps on each request and how it runs each operation.
struct ClientConfiguration {
    /// The server's host (no scheme, no trailing "/"), used when a request has none.
    std::optional<std::string> host;
    /// The OAuth consumer key, used when a request has none.
    std::optional<std::string> consumerKey;
    /// The merchant's key file name among the resources, without ".p12", used when a request has none.
    std::optional<std::string> keyFileName;
    /// That key file's password, used when a request has none; wiped when the client goes.
    std::optional<std::string> keyFilePassword;
    /// Where the merchant key comes from (file, bytes, callback or resource), used when
    /// a request names no key of its own; wins over keyFileName. Unlocked with keyFilePassword.
    std::optional<KeySource> keySource;
    /// An operation fails with URLErrorTimedOut when no byte moves for this long.
    /// Above zero (the Client refuses 0 or less); milliseconds::max() means no limit.
    std::chrono::milliseconds idleTimeout = kDefaultIdleTimeout;
    /// When set, an operation fails with URLErrorTimedOut once this long has
    /// passed since it started, however steadily bytes move; no attempt starts
    /// after it, however long preparing and signing took. Above zero when set;
    /// milliseconds::max() means no limit.
    std::optional<std::chrono::milliseconds> overallTimeout;
    /// On (the default): a request that cannot be signed (no key named, key not
    /// found, wrong password, not RSA, ...) is not sent; the operation fails with
    /// URLErrorCannotSignRequest (-1231) naming the cause and where the key was
    /// looked for. Off: such a request goes out unsigned, as with ZRBOrvalis.
    bool requireSignature = true;
    /// Where awaiting coroutines resume; empty: on the library's delivery thread.
    Executor executor;
    /// When and how often a failed operation is tried again; on by default.
    RetryPolicy retry;
    /// Told when each operation starts, after each attempt, and at completion; empty: nobody.
    OperationObserver observer;
    /// For a host's own tests: when set, every request is built and signed as usual and
    /// handed to this function instead of the network (see Answerer, docs/testing.md).
    Answerer answerer;
    /// Sent as "User-Agent" by every request; empty: "Orvalis/<version> libcurl/<version>".
    std::string userAgent;
    /// The proxy of this client's requests, in libcurl's form ("http://host:port",
    /// "socks5h://host:port", credentials as "user:password@"); "": none, whatever the
    /// environment says; unset: libcurl's environment variables (https_proxy,
    /// http_proxy, all_proxy, no_proxy). A failure on the proxy's side names it.
    std::optional<std::string> proxy;
    /// When set, how many connections and HTTP/2 streams this client uses at once (see
    /// ConnectionLimits for the defaults and ranges), on a transport of its own shared only
    /// with clients of the same limits. Unset: the shared session's (URLSession::sharedSession()).
    std::optional<ConnectionLimits> connectionLimits;
    /// PEM files whose certificates this client trusts, beside the system store and
    /// what URLSessionConfiguration::addTrustedCertificates added for the process.
    /// Read when the client is made; other clients never trust them.
    std::vector<std::string> trustedCertificateFiles;
    /// Public-key pins of this client, host -> "sha256//<base64>" entries joined by ";"
    /// (see URLSessionConfiguration::pinPublicKeys); wins over the process's pin for that host.
    std::map<std::string, std::string> pinnedPublicKeys;
    /// Off (the default): the lines this client's operations log are redacted (see
    /// redactLogLine: Authorization values and signatures masked) and request and answer
    /// bodies show their size only. On: the full lines, bodies, headers and signatures
    /// in clear, as ZRBOrvalis logs them. Either way they go to the one setLogHandler handler.
    bool fullLogLines = false;
    /// Where the client keeps its journal (see docs/journal.md): an SQLite file, made
    /// when missing, or a PostgreSQL database named by a libpq connection string
    /// ("postgresql://...", "host=db1 dbname=shop"; see openJournal); "": none (the default). Each attempt of a recorded operation is
    /// written there before its first byte is sent; one that cannot be written is
    /// not sent (URLErrorCannotRecordRequest).
    std::string journalPath;
    /// A journal of the host's own (or one openJournal opened, shared by several
    /// clients); wins over journalPath.
    std::shared_ptr<Journal> journal;
    /// Which operations the journal records: authorizePairing and expressCheckout, or all.
    JournalScope journalScope = JournalScope::Payments;
};

/// Per-call settings; each one that is set wins over the client's.
struct OperationOptions {
    /// Idle time-out of this operation; above zero when set.
    std::optional<std::chrono::milliseconds> idleTimeout;
    /// Overall time limit of this operation, counted from its start; above zero when set.
    std::optional<std::chrono::milliseconds> overallTimeout;
    /// Attempts of this operation, 0 to RetryPolicy::kMaxAttempts (0 or 1: no retry);
    /// the pauses are the client's.
    std::optional<int> maxAttempts;
};

namespace detail {
struct ClientCore;
}  // namespace detail

/// The six operations of ZRBOrvalis as handles (Operation): awaitable in a
/// coroutine, waitable, cancellable, with time-outs and the whole failure.
/// Credentials are given once; a value set on a request wins over the client's.
/// Any thread may start operations; a start never waits for the signature or the journal
/// (both are made on the library's own threads); completion runs on the delivery thread.
/// Every operation throws std::invalid_argument, and sends nothing, when
/// options hold a time-out of 0 or less or attempts out of range; every other refusal (a bad host or
/// id, a body that cannot be written, no signature) is the operation's failure.
/// Destroying the client does not stop its operations (see cancelAll()).
class ORVALIS_EXPORT Client {
public:
    /// A client that stamps configuration on every request it sends. Throws
    /// std::invalid_argument when a time-out is 0 or less, the retry policy is out of
    /// range, a trusted-certificate file holds no readable certificate, a pin list is
    /// malformed, the user agent or proxy holds a line break or NUL, or a connection
    /// limit is out of its range; throws
    /// JournalError when the journal at journalPath cannot be opened.
    explicit Client(ClientConfiguration configuration);
    /// Wipes the password; operations in flight go on and complete.
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    /// GET "/dataprov-apis/public/initializepairing" (see ZRBOrvalis).
    Operation initializePairing(ZRBInitializePairingRequest request, const OperationOptions& options = {}) const;
    /// GET "/quorvex/pairingid" (see ZRBOrvalis).
    Operation getPairingId(ZRBPairingIDServiceRequest request, const OperationOptions& options = {}) const;
    /// POST "/dataprov-apis/stage1/quorvex/partner/v6/pairing" (see ZRBOrvalis).
    Operation authorizePairing(ZRBAuthorisePairingRequest request, const OperationOptions& options = {}) const;
    /// GET "/quorvex/precheckoutdata/<pairingId>" (see ZRBOrvalis).
    Operation getPrecheckoutData(ZRBPrecheckoutDataRequest request, const OperationOptions& options = {}) const;
    /// POST "/quorvex/expresscheckout" (see ZRBOrvalis). Never re-send it blindly after a failure.
    Operation expressCheckout(ZRBExpressCheckoutDataRequest request,
                                         const OperationOptions& options = {}) const;
    /// GET "/quorvex/paymentdata/<transactionId>" (see ZRBOrvalis).
    Operation getPaymentData(ZRBPaymentDataRequest request, const OperationOptions& options = {}) const;

    /// Number of this client's operations not yet completed. Any thread.
    std::size_t inFlight() const noexcept;
    /// Waits until every operation of this client has completed (continuations
    /// included) and their outcomes are in the journal, or timeout has passed; true when none is left. A timeout of a
    /// hundred years or more (milliseconds::max()) waits without limit. Not on the delivery thread.
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;
    /// Cancels every operation of this client in flight (see Operation::cancel). Any thread.
    void cancelAll() const;
    /// The client's journal (its unsettled entries, settle), or null when it keeps none. Any thread.
    std::shared_ptr<Journal> journal() const noexcept;

private:
    template <class Request>
    Operation run(Request& request, const OperationOptions& options, const char* name) const;
    std::shared_ptr<detail::ClientCore> core_;
};

}  // namespace orvalis
