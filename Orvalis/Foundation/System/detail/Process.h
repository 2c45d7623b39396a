#pragma once

// Internal to the library: not installed. Who this process is, for the names it
// gives itself (a journal's instance id).
#include <cstdint>
#include <string>

namespace orvalis::detail {

/// This process's id (a forked child's own).
std::int64_t processId() noexcept;
/// The machine's host name, "unknown-host" when it has none.
std::string hostName();

}  // namespace orvalis::detail
