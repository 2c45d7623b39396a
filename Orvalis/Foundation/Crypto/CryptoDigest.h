#pragma once

#include <Orvalis/Foundation/Export.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvalis {

/// The digests the signer uses.
enum class DigestAlgorithm { SHA1, SHA256 };

/// Length in bytes of a digest: 20 for SHA-1, 32 for SHA-256.
ORVALIS_EXPORT std::size_t digestLength(DigestAlgorithm algorithm) noexcept;

/// The raw digest of data, or no value if the digest routine fails.
ORVALIS_EXPORT std::optional<std::string> digest(DigestAlgorithm algorithm, std::string_view data);

/// Standard Base64 (RFC 4648 section 4, "=" padding) on one line, however long.
ORVALIS_EXPORT std::string base64Encode(std::string_view bytes);

}  // namespace orvalis
