#pragma once

// Internal to the library: not installed. The process id, for state that a
// forked child must not take over from its parent (operations in flight).
#include <unistd.h>

namespace orvalis::detail {

/// This process's id: it changes in a child after fork().
inline long processId() noexcept { return static_cast<long>(::getpid()); }

}  // namespace orvalis::detail
