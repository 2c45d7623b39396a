#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvalis {

/// Digests and RSA signatures of text (always its UTF-8 bytes, unchanged) as
/// single-line standard Base64. Stateless; any thread may call it.
class ORVALIS_EXPORT ZRBCryptoHelper {
public:
    /// Base64 of the SHA-1 digest (28 characters), or no value if digesting fails.
    std::optional<std::string> getSHA1HASH(std::string_view text) const;
    /// Base64 of the SHA-256 digest (44 characters), or no value if digesting fails.
    std::optional<std::string> getSHA256HASH(std::string_view text) const;

    /// Base64 of the RSASSA-PKCS1-v1_5 SHA-1 signature of text with the key of
    /// the resource "<keyFile>.p12" (read and imported anew for every call), or
    /// no value when no key could be had or signing failed.
    std::optional<std::string> RSASHA1SSignature(std::string_view text, const std::optional<std::string>& keyFile,
                                                 const std::optional<std::string>& P12Password) const;
    /// As RSASHA1SSignature, with SHA-256.
    std::optional<std::string> RSASHA256SSignature(std::string_view text, const std::optional<std::string>& keyFile,
                                                   const std::optional<std::string>& P12Password) const;

    /// As RSASHA1SSignature, with the key from keySource (through the KeyCache when it is on).
    std::optional<std::string> RSASHA1SSignature(std::string_view text, const KeySource& keySource,
                                                 const std::optional<std::string>& P12Password) const;
    /// As RSASHA256SSignature, with the key from keySource (through the KeyCache when it is on).
    std::optional<std::string> RSASHA256SSignature(std::string_view text, const KeySource& keySource,
                                                   const std::optional<std::string>& P12Password) const;
};

}  // namespace orvalis
