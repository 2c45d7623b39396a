#pragma once

#include <Orvalis/Foundation/Export.h>

#include <cstdint>
#include <functional>

namespace orvalis {

/// A uniformly drawn integer from 0 to upperBound - 1 (0 when upperBound is
/// 0), from the C library's arc4random_uniform unless a test source is set.
/// Safe from any thread.
ORVALIS_EXPORT std::uint32_t arc4random_uniform(std::uint32_t upperBound);

/// A replacement random source: gets the bound, returns the draw.
using RandomSource = std::function<std::uint32_t(std::uint32_t upperBound)>;

/// Test hook: every later arc4random_uniform call in the process goes to
/// source; an empty function restores the system source. Meant for tests that
/// need fixed nonces; results outside the bound are reduced modulo it.
void setRandomSourceForTesting(RandomSource source);

}  // namespace orvalis
