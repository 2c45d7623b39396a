#pragma once

#include <Orvalis/Foundation/Export.h>

#include <cstdint>

namespace orvalis {

/// A uniformly drawn integer from 0 to upperBound - 1 (0 when upperBound is
/// 0), from a per-thread buffer of OpenSSL's random bytes unless a test source is set.
/// Safe from any thread.
ORVALIS_EXPORT std::uint32_t arc4random_uniform(std::uint32_t upperBound);

}  // namespace orvalis
