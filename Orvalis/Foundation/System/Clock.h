#pragma once

// Internal to the library, not installed: the function is not exported. Its
// test seam is setClockForTesting (TestSeams.h).

namespace orvalis {

/// The current time in seconds since 1970-01-01 00:00:00 UTC, with its
/// fraction, from the system clock unless a test clock is set.
double currentTimeIntervalSince1970();

}  // namespace orvalis
