#pragma once

// A throw-away CA and a server certificate for 127.0.0.1 signed by it, as PEM
// files in a temporary directory; the CA is added to the shared session's
// trust anchors.

#include <cstdint>
#include <string>

#include "TestPki.h"

namespace orvalis::reliability {

class TlsFiles {
public:
    /// A server certificate for 127.0.0.1 and localhost with the given
    /// validity (seconds from now) and RSA key size, issued by a fresh CA.
    explicit TlsFiles(std::int64_t notBeforeOffset = -3600, std::int64_t notAfterOffset = 86400, int keyBits = 2048);
    std::string cert() const { return (dir_.path() / "server.pem").string(); }
    std::string key() const { return (dir_.path() / "server.key").string(); }

private:
    testsupport::TempDir dir_;
};

}  // namespace orvalis::reliability
