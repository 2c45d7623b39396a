#pragma once

// nginx started for a test or a benchmark: a real HTTP/2 server on 127.0.0.1 (TLS 1.3, h2 by ALPN), with a
// second port that speaks HTTP/1.1 only, serving the files it is given (GET, and POST answered with the same
// file). One process of its own with a generated configuration in a temporary folder; it stops with the object,
// or when the thread that started it ends.
#include <sys/types.h>

#include <map>
#include <string>

#include "TestPki.h"

namespace orvalis::testsupport {

class Nginx {
public:
    /// files: path ("/a.json") -> bytes. Throws std::runtime_error when nginx does not start.
    explicit Nginx(const std::map<std::string, std::string>& files);
    ~Nginx();
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;
    /// "https://127.0.0.1:<port><path>" of the HTTP/2 port, or of the HTTP/1.1 one.
    std::string url(const std::string& path, bool http2 = true) const;
    /// "127.0.0.1:<port>": a client's host.
    std::string host(bool http2 = true) const;
    /// The PEM file of the CA that issued the server's certificate.
    std::string caFile() const { return (dir_.path() / "ca.pem").string(); }

private:
    TempDir dir_;
    int ports_[2] = {0, 0};  // HTTP/2, HTTP/1.1
    pid_t pid_ = -1;
};

}  // namespace orvalis::testsupport
