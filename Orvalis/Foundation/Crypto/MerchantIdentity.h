#pragma once

#include <Orvalis/Foundation/Crypto/CryptoKey.h>
#include <Orvalis/Foundation/Export.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis {

/// What a merchant certificate says about itself, for hosts that check it
/// before it expires.
struct ORVALIS_EXPORT CertificateReport {
    std::string subject;       ///< Distinguished name, RFC 2253 ("CN=merchant,O=Shop").
    std::string issuer;        ///< Issuer's distinguished name, same form.
    std::string serialNumber;  ///< Upper-case hexadecimal, even number of digits ("01", "0A1B").
    std::int64_t notBefore = 0;  ///< Start of validity, seconds since 1970 (UTC).
    std::int64_t notAfter = 0;   ///< End of validity, seconds since 1970 (UTC).
    std::string keyType;       ///< The private key's type: "RSA", "RSA-PSS", "EC", ... (with no key
                               ///< beside the certificate, its public key's type; "unknown" if unreadable).
    int keyBits = 0;           ///< The key's size in bits (the modulus for RSA); 0 when unknown.
};

/// How reading a PKCS#12 archive ended.
enum class PKCS12ImportStatus {
    Imported,                ///< A key with its certificate.
    WrongPasswordOrDamaged,  ///< Not a PKCS#12 archive, damaged, or the password does not open it.
    NoIdentity,              ///< Opened, but it holds no private key with its certificate.
};

/// The first identity of a PKCS#12 archive: its key and what its certificate says.
struct ORVALIS_EXPORT PKCS12Identity {
    PKCS12ImportStatus status = PKCS12ImportStatus::WrongPasswordOrDamaged;  ///< How the import ended.
    PrivateKey key;                               ///< Empty unless status is Imported.
    std::optional<CertificateReport> certificate;  ///< Set when the archive opened and holds a certificate:
                                                   ///< for NoIdentity, its first one.
    std::string certificateDigest;                ///< SHA-256 of the certificate's DER bytes, when Imported.
};

/// Opens a DER PKCS#12 archive with password (default and legacy encryption)
/// and takes its first identity; the status says why there is none. Any thread.
ORVALIS_EXPORT PKCS12Identity importPKCS12Identity(std::string_view der, const std::string& password);

/// secondsSince1970 as "YYYY-MM-DD HH:MM:SS UTC", for certificate dates. Any thread.
ORVALIS_EXPORT std::string certificateTimeText(std::int64_t secondsSince1970);

/// A keyed SHA-256 digest of secret under a random key made once per process:
/// tells two secrets apart without keeping either, and cannot be compared
/// across processes. 32 bytes; empty only if the digest cannot be made. Any thread.
ORVALIS_EXPORT std::string processLocalSecretDigest(std::string_view secret);

}  // namespace orvalis
