#pragma once

#include <Orvalis/Foundation/Export.h>
// The test seams were declared here; hosts that include this header keep them.
#include <Orvalis/Foundation/System/TestSeams.h>

namespace orvalis {

/// The current time in seconds since 1970-01-01 00:00:00 UTC, with its
/// fraction, from the system clock unless a test clock is set.
double currentTimeIntervalSince1970();

}  // namespace orvalis
