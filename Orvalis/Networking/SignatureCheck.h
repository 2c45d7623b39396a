#pragma once

#include <Orvalis/Foundation/Crypto/SignatureCheckOptions.h>
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Transport/URLRequest.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvalis {

/// Checks a signed request as the merchant server does (the sandbox runs the same
/// code): its OAuth 1.0a Authorization header, the body hash, the clock window and
/// the RSA-SHA1 (or RSA-SHA256) signature against the certificates or public key in
/// certificatePEM. No value when the request verifies; otherwise the reason, e.g.
/// "signature does not verify" or "body hash mismatch". Any thread.
ORVALIS_EXPORT std::optional<std::string> checkRequestSignature(const URLRequest& request,
                                                                std::string_view certificatePEM,
                                                                const SignatureCheckOptions& options = {});

}  // namespace orvalis
