#pragma once

// The HTTPS test server (test_server.py, a child process on 127.0.0.1 serving good and misbehaving
// answers with certificates made for this run), a runner for other child programs, and a collector
// for URL-session data tasks.
#include <Orvalis/Foundation/Transport/URLSession.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestPki.h"

namespace orvalis::testsupport {

/// What a child program printed on stdout and its wait status (exit status 124: killed after 240 s).
struct Ended {
    int status;
    std::string out;
};
/// Runs argv[0] (searched in PATH) to its end with extra environment entries "NAME=value".
Ended runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

/// The test server. Ports: "good", "wrong" (certificate for another host), "self" (self-signed),
/// "tls11" (TLS 1.0-1.1 only), "plain" (http), "closed" (nothing listens), "idle" (as "good", but closes a kept-alive
/// connection idle for 1 s), "idle2" (as "good", but a request after 2 s idle meets the server's close: never
/// answered, counted as "late"), "proxy" (http CONNECT to 127.0.0.1 only, else 403; counts "tunnels"), "tlsreset"
/// (resets each connection once the TLS ClientHello arrived; counts "tlsresets"), "goaway" (HTTP/2 only: answers each
/// connection's first stream, meets a later one with GOAWAY; counts "goaway GET", "goaway POST"). It ends by itself
/// once this process is gone.
class TestServer {
public:
    TestServer();
    std::string url(const std::string& path, const std::string& port = "good", const char* host = "127.0.0.1") const;
    /// "127.0.0.1:<port>": a client's host.
    std::string host(const std::string& port = "good") const {
        const std::string u = url("", port);
        return u.substr(u.find("://") + 3);
    }
    const std::string& caFile() const noexcept { return caFile_; }
    /// "sha256//..." pin of the good certificate's public key.
    const std::string& goodPin() const noexcept { return goodPin_; }
    /// A counter of the server: "connections" accepted, most connections "held" together, or
    /// requests per path ("/echo"); per client by its User-Agent A: "connections A", "open A", "held A".
    /// -1 when it cannot be read.
    long stat(const std::string& name) const;

private:
    TempDir dir_;
    std::string caFile_, goodPin_, ports_;
};

/// The process-wide test server, started on first use; the shared session trusts its CA.
TestServer& sharedServer();

/// What one data task reported.
struct Outcome {
    std::optional<std::string> data;
    std::optional<HTTPURLResponse> response;
    std::optional<Error> error;
    std::string errorText() const { return error ? error->description() : std::string("no error"); }
};

/// Starts a task for request; the future holds what its completion reported.
std::future<Outcome> start(const URLRequest& request);
/// Runs request to its end; no completion within limit reads as an error of domain "test".
Outcome fetch(const URLRequest& request, std::chrono::seconds limit = std::chrono::seconds(30));
/// A request of url with the given method, body and idle time-out in seconds.
URLRequest request(const std::string& url, const char* method, std::optional<std::string> body, double timeout = 10.0);
/// A GET of url with the given idle time-out in seconds.
URLRequest get(const std::string& url, double timeout = 10.0);

/// Resident set size of this process (after handing freed heap memory back), and its peak so far.
/// The suite's PostgreSQL cluster: the connection string in the file ORVALIS_TEST_POSTGRESQL names (ctest starts
/// one), or "" without one.
std::string postgresCluster();
std::size_t residentBytes();
std::size_t peakResidentBytes();
/// True under AddressSanitizer or ThreadSanitizer: shadow memory makes resident sizes meaningless
/// and each request several times slower.
constexpr bool kSanitized =
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

/// True under ThreadSanitizer, which cannot start a thread in a child forked from a process with threads.
constexpr bool kThreadSanitized =
#if defined(__SANITIZE_THREAD__)
    true;
#else
    false;
#endif

/// False under either sanitizer when other threads of this process may be busy at a fork: besides the above, the
/// address sanitizer's allocator takes no lock around fork, so a child forked while a server thread of the test
/// allocates can wait for ever on a lock that thread held.
constexpr bool kForkWithBusyThreads = !kSanitized;

}  // namespace orvalis::testsupport
