#include "TlsFiles.h"

#include <Orvalis/Foundation/URLSession.h>

#include <stdexcept>

namespace orvalis::reliability {

TlsFiles::TlsFiles() {
    const auto ca = testsupport::makeTestCA("Reliability Test CA");
    const auto server = testsupport::makeIssuedIdentity(ca, testsupport::localhostCertOptions());
    dir_.write("server.pem", testsupport::certPem(server.cert.get()));
    dir_.write("server.key", testsupport::privateKeyPem(server.key.get()));
    const auto caFile = dir_.write("ca.pem", testsupport::certPem(ca.cert.get()));
    if (!URLSession::sharedSession().configuration().addTrustedCertificates(caFile.string()))
        throw std::runtime_error("the test CA was not accepted");
}

}  // namespace orvalis::reliability
