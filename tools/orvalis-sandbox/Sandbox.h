#pragma once

// A local stand-in for the merchant server: HTTPS on 127.0.0.1 (or another
// address asked for), checks every
// request's OAuth 1.0a RSA signature and body hash against the merchant's
// certificate, and answers the six operations with canned bodies or with a
// failure chosen by the caller.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvalis::sandbox {

/// How the sandbox answers an operation instead of its normal body.
struct Fault {
    enum class Kind {
        None,
        ErrorsArray,  ///< 200 with a JSON "errors" array
        XmlError,     ///< 200 with an XML document whose root holds an Error element
        Http500,      ///< status 500 with an empty body
        Delay,        ///< the normal answer after delayMs milliseconds
        GzipMembers,  ///< the normal answer as two gzip members, "Content-Encoding: gzip"
        Body,         ///< status with body as given (content type contentType)
    };
    Kind kind = Kind::None;
    int delayMs = 0;
    int status = 200;
    std::string body;
    std::string contentType = "text/html";
    /// A Retry-After header sent with a Body answer, when not empty.
    std::string retryAfter;
    /// How many more requests get this fault before the normal answer returns; -1: all.
    int remaining = -1;

    /// Reads "errors", "xml-error", "http500", "gzip-members", "delay:MS" or
    /// "unavailable:N" (503 with "Retry-After: 1" for the next N requests); no value otherwise.
    static std::optional<Fault> parse(const std::string& text);
};

struct SandboxOptions {
    /// PEM file with the merchant's certificate(s) or public key.
    std::string merchantCertificatePath;
    /// PEM server certificate and key; both empty: a self-signed pair is made.
    std::string serverCertificatePath;
    std::string serverKeyPath;
    /// 0 picks a free port.
    int port = 0;
    /// The address to listen on: loopback unless another is asked for.
    std::string bindAddress = "127.0.0.1";
    /// Folder with "<operation>.json" or "<operation>.xml" bodies that replace the defaults.
    std::string responsesDirectory;
    /// When set, requests must carry this consumer key.
    std::optional<std::string> consumerKey;
    /// Largest accepted distance between oauth_timestamp and the clock.
    std::chrono::seconds maxClockSkew{600};
    /// How long an idle client connection is kept open. Longer spares clients
    /// reconnections; stop() waits up to this long for idle connections.
    std::chrono::seconds keepAlive{5};
    /// Fault per operation name ("*" for all).
    std::map<std::string, Fault> faults;
};

/// What the sandbox saw of one request, and what it made of it.
struct RecordedRequest {
    std::string method;
    std::string target;  ///< path and query as sent
    std::string path;    ///< target without the query
    std::string query;   ///< raw query, without "?"
    std::string contentType;
    std::string authorization;
    /// Header fields received, names in lower case, ordered by name; values as the
    /// server library gives them (percent-decoded).
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string baseString;  ///< the signature base string rebuilt from the request, when it got that far
    std::string operation;   ///< operation name, or "" for an unknown path
    bool accepted = false;   ///< signature, body hash and parameters all good
    std::string verdict;     ///< "accepted" or "rejected: <reason>"
};

class Sandbox {
public:
    explicit Sandbox(SandboxOptions options);
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    /// Loads the certificates, binds 127.0.0.1 and starts serving. False with
    /// a reason in error when any step fails.
    bool start(std::string* error);
    /// Stops serving and waits for the server thread.
    void stop();
    int port() const;
    /// PEM of the server certificate in use (for the client's trust store).
    std::string serverCertificatePEM() const;

    void setFault(const std::string& operation, Fault fault);
    /// Called once per request, on a server thread, once it is judged and before it is answered
    /// (before the wait of a "delay" fault).
    void setObserver(std::function<void(const RecordedRequest&)> observer);
    std::vector<RecordedRequest> requests() const;
    std::size_t rejectedCount() const;

    /// The operation names the sandbox answers.
    static std::vector<std::string> operationNames();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace orvalis::sandbox
