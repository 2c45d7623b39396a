#pragma once

// The HTTPS test server of the transport tests: a child process on 127.0.0.1
// serving good and misbehaving answers, with certificates made for this run.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "TestPki.h"

namespace orvalis::transporttest {

/// A child process with a pipe to its stdin and one from its stdout.
class ChildProcess {
public:
    /// Starts argv[0] (searched in PATH) with extra environment entries "NAME=value".
    explicit ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// One line of the child's stdout, or "" when none came within timeout.
    std::string readLine(std::chrono::milliseconds timeout);
    /// Closes the child's stdin.
    void closeInput();
    /// Waits up to timeout for the child to end; returns its wait status, or -1
    /// (after killing it) when it did not end in time.
    int wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffered_;
};

/// Listening ports and the CA file of a running test server.
class TestServer {
public:
    TestServer();
    ~TestServer();

    /// URL of path on one of the servers: "good", "wrong" (certificate for another
    /// host), "self" (self-signed), "expired", "future" (not yet valid), "tls11".
    std::string url(const std::string& path, const char* which = "good", const char* host = "127.0.0.1") const;
    int port(const char* which) const;
    const std::string& caFile() const noexcept { return caFile_; }
    /// "sha256//..." pin of the good server's public key.
    const std::string& goodPin() const noexcept { return goodPin_; }

private:
    testsupport::TempDir dir_;
    std::string caFile_;
    std::string goodPin_;
    std::unique_ptr<ChildProcess> child_;
    int good_ = 0, wrong_ = 0, self_ = 0, tls11_ = 0, expired_ = 0, future_ = 0;
};

/// The process-wide test server, started on first use; the shared session trusts its CA.
TestServer& sharedServer();

/// A port on 127.0.0.1 where nothing listens (bound, then released).
int closedPort();

}  // namespace orvalis::transporttest
