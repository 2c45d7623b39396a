#pragma once

#include <Orvalis/Foundation/Export.h>

#include <functional>

namespace orvalis {

/// The current time in seconds since 1970-01-01 00:00:00 UTC, with its
/// fraction, from the system clock unless a test clock is set.
double currentTimeIntervalSince1970();

/// A replacement clock: returns seconds since 1970.
using ClockSource = std::function<double()>;

/// Test hook: every later currentTimeIntervalSince1970 call in the process goes
/// to clock; an empty function restores the system clock.
void setClockForTesting(ClockSource clock);

}  // namespace orvalis
