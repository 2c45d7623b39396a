#pragma once

// Internal to the library: not installed. What the library's own thread pools
// need from the platform: how many cores they may use, and word of a fork.
#include <cstddef>

namespace orvalis::detail {

/// The cores this process may run on (its CPU affinity), at least 1.
std::size_t usableCores() noexcept;

/// Calls prepare before every fork, then parent in the parent or child in the child
/// (pthread_atfork). False when it cannot be registered.
bool callAroundFork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

}  // namespace orvalis::detail
