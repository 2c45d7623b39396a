#pragma once

// A throw-away CA and a server certificate for 127.0.0.1 signed by it, as PEM
// files in a temporary directory; the CA is added to the shared session's
// trust anchors.

#include <string>

#include "TestPki.h"

namespace orvalis::reliability {

class TlsFiles {
public:
    TlsFiles();
    std::string cert() const { return (dir_.path() / "server.pem").string(); }
    std::string key() const { return (dir_.path() / "server.key").string(); }

private:
    testsupport::TempDir dir_;
};

}  // namespace orvalis::reliability
