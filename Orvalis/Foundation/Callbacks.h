#pragma once

#include <functional>

#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Value/Value.h>

namespace orvalis {

/// Receives the decoded answer of an operation; the host owns it.
using SuccessCallback = std::function<void(Dictionary)>;
/// Receives why an operation failed.
using FailureCallback = std::function<void(Error)>;

}  // namespace orvalis
