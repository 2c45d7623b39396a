#pragma once

// Internal to the library: not installed.
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/URLSession.h>

namespace orvalis::detail {

/// Completes a request refused before sending: completion runs once with error
/// (no data, no response) on the shared session's delivery thread, like every
/// task's, and nothing is sent. Throws std::system_error when that thread
/// cannot be started (completion then never runs).
void completeWithoutSending(Error error, DataTaskCompletion completion);

}  // namespace orvalis::detail
