#pragma once

// Test-only PKI: keys, certificates and PKCS#12 files made on the fly with
// the OpenSSL API, so that no secret is ever stored in the repository. Every
// maker throws std::runtime_error when OpenSSL fails.

#include <Orvalis/Foundation/Crypto/detail/OAuthCheck.h>
#include <Pki.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace orvalis::testsupport {

// The library's own handle owners.
template <auto Free>
using FreeWith = orvalis::detail::Deleter<Free>;
// Base64 as the sandbox reads it.
using detail::base64Decode;
// Certificates are made as the sandbox server makes its own.
using pki::CertOptions;
using pki::certPem;
using pki::makeEcKey;
using pki::makeSelfSignedCert;
using pki::makeSignedCert;
using pki::PKeyPtr;
using pki::privateKeyPem;
using pki::X509Ptr;

/// A fresh RSA-PSS key (its own key type, not plain RSA).
PKeyPtr makeRsaPssKey(int bits);
/// One RSA key per size for the whole process, made on first use (key
/// generation is slow); thread-safe.
EVP_PKEY* sharedRsaKey(int bits);

/// Options for a server certificate valid for localhost, 127.0.0.1 and ::1.
CertOptions localhostCertOptions();

/// A key with its certificate.
struct Identity {
    PKeyPtr key;
    X509Ptr cert;
};
/// A fresh self-signed RSA identity of the given size.
Identity makeRsaIdentity(int bits, const std::string& commonName = "merchant");
/// A self-signed identity over sharedRsaKey(bits): fast, same key every time.
Identity makeSharedRsaIdentity(int bits, const std::string& commonName = "merchant");
/// A test certificate authority (2048-bit key + CA certificate).
Identity makeTestCA(const std::string& commonName = "Orvalis Test CA");
/// A certificate signed by ca for a fresh 2048-bit key, e.g. a TLS server identity.
Identity makeIssuedIdentity(const Identity& ca, const CertOptions& options);

/// PKCS#12 encryption forms: OpenSSL 3's default (AES-256-CBC, PBKDF2,
/// SHA-256 MAC) or the legacy one (RC2-40 certificates, 3DES key, SHA-1 MAC),
/// as `openssl pkcs12 -export -legacy` writes it.
enum class P12Form { Default, Legacy };

/// DER bytes of a PKCS#12 archive. key and/or cert may be null (a file with
/// certificates only, or a key without its certificate).
std::string makeP12(EVP_PKEY* key, X509* cert, const std::string& password, P12Form form = P12Form::Default);
/// A PKCS#12 archive holding every identity in order (each key with its certificate).
std::string makeP12WithIdentities(
    const std::vector<const Identity*>& identities, const std::string& password, P12Form form = P12Form::Default);

/// A fresh directory under the system temp dir, removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const noexcept { return path_; }
    /// Writes bytes to <dir>/<name> and returns the full path.
    std::filesystem::path write(const std::string& name, std::string_view bytes) const;

private:
    std::filesystem::path path_;
    std::error_code ignored_;  // of removing the directory
};

/// A fresh EC key and its certificate for options, issued by ca (self-signed without one), written to dir as
/// <name>.pem and <name>.key, as a TLS server reads them.
Identity writeEcIdentity(
    const TempDir& dir, const std::string& name, const CertOptions& options, const Identity* ca = nullptr);

/// True when sig is a valid RSASSA-PKCS1-v1_5 signature of data with the
/// given digest ("SHA1", "SHA256") under the public key of cert.
bool verifyPkcs1Signature(X509* cert, std::string_view data, std::string_view sig, const char* digest);

}  // namespace orvalis::testsupport
