#pragma once

// Keys and certificates made on the fly with OpenSSL: the sandbox server's
// throwaway identity and the test suite's keys come from this one maker, so
// that no secret is ever stored. Every maker throws std::runtime_error when
// OpenSSL fails.

#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace orvalis::pki {

using PKeyPtr = std::unique_ptr<EVP_PKEY, detail::Deleter<EVP_PKEY_free>>;
using detail::X509Ptr;

/// result, unless OpenSSL reported a failure (a null pointer or a count <= 0):
/// then std::runtime_error naming what failed and OpenSSL's reason.
template <class T>
T check(T result, const char* what) {
    if constexpr (std::is_pointer_v<T>) {
        if (result != nullptr) return result;
    } else if (result > 0) {
        return result;
    }
    char text[256] = "";
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    throw std::runtime_error(std::string(what) + ": " + text);
}

/// What goes into a certificate. Validity is given relative to now, in seconds.
struct CertOptions {
    std::string commonName = "localhost";
    std::vector<std::string> dnsNames;     // subjectAltName DNS entries
    std::vector<std::string> ipAddresses;  // subjectAltName IP entries ("127.0.0.1", "::1")
    std::int64_t notBeforeOffset = -3600;
    std::int64_t notAfterOffset = 365 * 24 * 3600;
    bool isCA = false;
    bool servesTLS = false;  // with isCA: a server certificate that is its own trust anchor
    long serial = 1;         // 0: a random one
};

/// A fresh P-256 EC key.
PKeyPtr makeEcKey();
/// A fresh RSA key.
PKeyPtr makeRsaKey(int bits);

/// A SHA-256 certificate for key, signed by the issuer (by key itself when issuerCert is null).
X509Ptr makeSignedCert(EVP_PKEY* key, const CertOptions& options, X509* issuerCert, EVP_PKEY* issuerKey);
/// A SHA-256 certificate for key, signed by itself.
X509Ptr makeSelfSignedCert(EVP_PKEY* key, const CertOptions& options = {});

/// PEM text of a certificate, or of a private key (PKCS#8, unencrypted).
std::string certPem(X509* cert);
std::string privateKeyPem(EVP_PKEY* key);

}  // namespace orvalis::pki
