#pragma once

// Internal to the key path: not installed.
#include <Orvalis/Foundation/Crypto/CryptoKey.h>
#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>
#include <Orvalis/Foundation/Crypto/detail/SigningContexts.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::detail {

/// A key request's outcome. key is set for Loaded, and also for NotRSA (the
/// caller decides: the signing calls refuse such a key).
struct LoadedKey {
    KeyStatus status = KeyStatus::NotFound;
    PrivateKey key;
    std::optional<CertificateReport> certificate;
    std::shared_ptr<SigningContexts> signer;  // the cached key's ready contexts, if it is cached
};

/// What the key path reads of a source beyond its public face.
struct KeySourceAccess {
    /// SHA-256 of a memory source's bytes, taken when the source was made; "" for other kinds.
    static std::string_view memoryDigest(const KeySource& source) noexcept;
};

/// Finds, reads and imports source's key with password, through the key cache
/// when it is on. Logs one line naming the cause when there is no usable key
/// (never the password). With forSigning, a certificate past its end date is
/// logged once per certificate and process, and no certificate is returned. Any thread.
LoadedKey loadMerchantKey(const KeySource& source, const std::optional<std::string>& password, bool forSigning);

/// A signature by the merchant key, or why there is none.
struct MerchantSignature {
    KeyStatus status = KeyStatus::NotFound;
    std::optional<std::string> signature;  ///< RSASSA-PKCS1-v1_5 bytes when status is Loaded
};

/// The one way the library signs: text hashed with algorithm and signed by
/// source's key, in process (a PKCS#12 key, loaded as loadMerchantKey does) or
/// inside its token. Logs one line naming the cause when there is no signature
/// (never the password or PIN). Any thread.
MerchantSignature signWithMerchantKey(const KeySource& source, const std::optional<std::string>& password,
                                      DigestAlgorithm algorithm, std::string_view text);

/// What source holds, for ZRBKeychainManager::checkKey: a PKCS#12 source is
/// opened, a token source's certificate is read beside its key. Any thread.
KeyCheck checkMerchantKey(const KeySource& source, const std::optional<std::string>& password);

}  // namespace orvalis::detail
