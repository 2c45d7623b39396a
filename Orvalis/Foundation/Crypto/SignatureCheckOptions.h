#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace orvalis {

/// What checkRequestSignature (Networking/SignatureCheck.h) demands beyond a good
/// signature. Here, below Networking, because the verifier itself lives in Foundation.
struct SignatureCheckOptions {
    /// When set, the request must carry this consumer key.
    std::optional<std::string> consumerKey;
    /// Largest accepted distance between oauth_timestamp and the clock.
    std::chrono::seconds maxClockSkew{600};
};

}  // namespace orvalis
