#pragma once

// Internal to the key path: not installed.
#include <Orvalis/Foundation/Crypto/CryptoKey.h>
#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <optional>
#include <string>

namespace orvalis::detail {

/// A key request's outcome. key is set for Loaded, and also for NotRSA (the
/// caller decides: the signing calls refuse such a key).
struct LoadedKey {
    KeyStatus status = KeyStatus::NotFound;
    PrivateKey key;
    std::optional<CertificateReport> certificate;
};

/// Finds, reads and imports source's key with password, through the key cache
/// when it is on. Logs one line naming the cause when there is no usable key
/// (never the password). With forSigning, a certificate past its end date is
/// logged once per certificate and process. Any thread.
LoadedKey loadMerchantKey(const KeySource& source, const std::optional<std::string>& password, bool forSigning);

}  // namespace orvalis::detail
