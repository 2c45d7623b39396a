#pragma once

// Internal to the library: not installed. Ready signing contexts for one key.
#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Foundation/Crypto/CryptoKey.h>
#include <Orvalis/Foundation/Crypto/detail/Handles.h>

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvalis::detail {

/// An RSASSA-PKCS1-v1_5 signing context for key and algorithm (the digest wrapped in its
/// DigestInfo), ready for EVP_PKEY_sign; empty when the key cannot sign so.
PKeyCtxPtr newSigningContext(const PrivateKey& key, DigestAlgorithm algorithm);

/// Signing contexts of one RSA key, set up once and used again: setting one up (key
/// management and digest look-ups) costs tens of thousands of instructions. Each
/// context serves one signature at a time; they hold the key until this object goes.
/// Any thread may call sign().
class SigningContexts {
public:
    explicit SigningContexts(const PrivateKey& key) noexcept : key_(key.share()) {}
    /// As rawSignDigest(key, algorithm, digestBytes).
    std::optional<std::string> sign(DigestAlgorithm algorithm, std::string_view digestBytes);

private:
    PrivateKey key_;
    std::mutex mutex_;
    std::vector<PKeyCtxPtr> idle_[2];  // by algorithm: SHA-1, SHA-256
};

}  // namespace orvalis::detail
