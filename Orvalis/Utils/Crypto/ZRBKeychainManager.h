#pragma once

#include <Orvalis/Foundation/Crypto/CryptoKey.h>
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis {

/// Finds the merchant's PKCS#12 key file among the host's resources
/// (Bundle::mainBundle()), takes the private key of its first identity and
/// makes raw RSA PKCS#1 v1.5 signatures with it. Keeps nothing between calls
/// (every key request reads and imports the file again) unless the host turns
/// the KeyCache on. Each key request that gives no key logs one line naming the
/// cause, never the password.
class ORVALIS_EXPORT ZRBKeychainManager {
public:
    /// The one shared instance, created on first use (thread-safe).
    static ZRBKeychainManager& sharedInstance();

    /// The private key of the first identity in "<keyFileName>.p12", unlocked
    /// with P12Password. An empty handle when either is absent, the file is
    /// missing or unreadable, the password is wrong, the file is damaged or it
    /// holds no key with its certificate, or the name is not a plain resource
    /// name ("/", "\\", "..", NUL). The file bytes are wiped after use. Any thread.
    PrivateKey getPrivateKey(const std::optional<std::string>& keyFileName,
                             const std::optional<std::string>& P12Password) const;
    /// The private key of the first identity from source, unlocked with
    /// P12Password; an empty handle on any failure, as above, and for a token
    /// source, whose key never comes into memory (it signs through the signer). Any thread.
    PrivateKey getPrivateKey(const KeySource& source, const std::optional<std::string>& P12Password) const;
    /// What source holds, for checking a key before use: the status and, once
    /// the archive opens, its certificate's subject, issuer, serial, dates and
    /// key type and size. For a token source (P12Password: the PIN, unless its
    /// PinSource says otherwise) the certificate stored beside the key, and
    /// whether it holds the key's public key. Never logs the expiry line. Any thread.
    KeyCheck checkKey(const KeySource& source, const std::optional<std::string>& P12Password) const;

    /// The PKCS#1 v1.5 signature over the SHA-1 digest of all of data, as many
    /// bytes as the key's modulus. No value without a key, for any key that is
    /// not plain RSA (EC, RSA-PSS), or when signing fails.
    std::optional<std::string> RSASHA1Signature(std::string_view data, const PrivateKey& andPrivateKey) const;
    /// As RSASHA1Signature, over the SHA-256 digest.
    std::optional<std::string> RSASHA256Signature(std::string_view data, const PrivateKey& andPrivateKey) const;

    /// A short text for a security status code: "success", "error item already
    /// exists", "error item not found", "error item authentication failed", or
    /// the code's decimal digits (with its sign) for any other code.
    std::string keychainErrorToString(std::int32_t status) const;

    /// Logs "Key : <Base64>" with the key's public modulus (never private
    /// material); "Key : (null)" without a key. Diagnostic only.
    void printKey(const PrivateKey& key) const;

private:
    ZRBKeychainManager() = default;
};

}  // namespace orvalis
