#include "TlsFiles.h"

#include <Orvalis/Foundation/URLSession.h>

#include <atomic>
#include <stdexcept>
#include <string>

namespace orvalis::reliability {

TlsFiles::TlsFiles(std::int64_t notBeforeOffset, std::int64_t notAfterOffset, int keyBits) {
    // Each CA gets a name of its own: the trust store finds issuers by name.
    static std::atomic<int> serial{0};
    const auto ca = testsupport::makeTestCA("Reliability Test CA " + std::to_string(++serial));
    auto options = testsupport::localhostCertOptions();
    options.notBeforeOffset = notBeforeOffset;
    options.notAfterOffset = notAfterOffset;
    const auto key = testsupport::makeRsaKey(keyBits);
    const auto cert = testsupport::makeSignedCert(key.get(), options, ca.cert.get(), ca.key.get());
    dir_.write("server.pem", testsupport::certPem(cert.get()));
    dir_.write("server.key", testsupport::privateKeyPem(key.get()));
    const auto caFile = dir_.write("ca.pem", testsupport::certPem(ca.cert.get()));
    if (!URLSession::sharedSession().configuration().addTrustedCertificates(caFile.string()))
        throw std::runtime_error("the test CA was not accepted");
}

}  // namespace orvalis::reliability
