#pragma once

// Internal to Client: not installed. When an attempt may be made again, and
// how long to pause before it.
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/ServiceInfrastructure/Client.h>

#include <chrono>
#include <optional>

namespace orvalis::detail {

/// Whether an attempt that ended with transportError (none when an answer came
/// whole) and status may be made again. readOnly: a GET, which the server may
/// see twice; anything else only when its request was never sent.
bool mayRetry(bool readOnly, const std::optional<Error>& transportError, long status, Reached reached) noexcept;

/// The pause a Retry-After header asks for, in its seconds form; none without one.
std::optional<std::chrono::milliseconds> retryAfter(const std::optional<HTTPURLResponse>& response);

/// The pause before attempt number next (2 for the second): doubling from the
/// policy's initial back-off, capped at its maximum, less a random part of up to half.
std::chrono::milliseconds backoffBefore(int next, const RetryPolicy& policy);

/// Throws std::invalid_argument naming what is out of range in policy.
void checkRetryPolicy(const RetryPolicy& policy);

}  // namespace orvalis::detail
