#pragma once

// Starts fault_server.py as a child process on 127.0.0.1 and stops it again.

#include <sys/types.h>

#include <string>

namespace orvalis::reliability {

class FaultServer {
public:
    /// Plain HTTP, or HTTPS with the given PEM certificate chain and key files.
    /// Throws std::runtime_error when the server does not come up in time.
    explicit FaultServer(const std::string& certFile = {}, const std::string& keyFile = {});
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    int port() const noexcept { return port_; }
    /// "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
    std::string baseURL() const;
    /// Stops the child (SIGTERM, then SIGKILL after a bounded wait). Idempotent.
    void stop() noexcept;

private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int port_ = 0;
    bool tls_ = false;
};

}  // namespace orvalis::reliability
