#pragma once

// Test seams: replace the library's random source and clock in a test
// program. Not installed and not exported: the library's own tests link its
// objects statically.

#include <Orvalis/Foundation/Export.h>

#include <cstdint>
#include <functional>

namespace orvalis {

/// A replacement random source: gets the bound, returns the draw.
using RandomSource = std::function<std::uint32_t(std::uint32_t upperBound)>;

/// Test hook: every later arc4random_uniform call in the process goes to
/// source; an empty function restores the system source. Meant for tests that
/// need fixed nonces; results outside the bound are reduced modulo it.
void setRandomSourceForTesting(RandomSource source);

/// A replacement clock: returns seconds since 1970.
using ClockSource = std::function<double()>;

/// Test hook: every later currentTimeIntervalSince1970 call in the process goes
/// to clock; an empty function restores the system clock.
void setClockForTesting(ClockSource clock);

}  // namespace orvalis
