#pragma once

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/URLRequest.h>
#include <Orvalis/Foundation/Value.h>

#include <optional>
#include <string>

namespace orvalis {

/// Domain of the Errors (always code 101) that ZRBNetworkManager makes from an
/// answer it received; transport failures keep the URL session's own domain.
inline constexpr const char* kZRBNetworkErrorDomain = "org.orvalis.ZRBNetworkManager";

/// Code of every Error in kZRBNetworkErrorDomain.
inline constexpr std::int64_t kZRBNetworkErrorCode = 101;

/// Sends signed requests over the shared URL session and turns each answer into
/// exactly one callback: a Dictionary decoded from JSON (else XML), or an Error.
class ORVALIS_EXPORT ZRBNetworkManager {
public:
    /// Sends request unchanged and returns at once. Later, on the session's delivery
    /// thread, calls onSuccess with the decoded answer or onFailure with the transport
    /// error or a code-101 Error ("Server Error" or the answer's first error text).
    void executeService(const URLRequest& request, SuccessCallback onSuccess, FailureCallback onFailure);

    /// An unsigned POST request for url with "Content-Type: application/json" and,
    /// when requestparama is given, its pretty-printed JSON as the body (no body when
    /// it cannot be written as JSON).
    URLRequest getJSONPostRequest(const std::string& url, const std::optional<Dictionary>& requestparama);
};

namespace detail {
/// The completion steps of executeService on their own, without a network (for
/// fuzzing and tests): calls onSuccess or onFailure for the body and the error
/// that an exchange ended with. Exceptions from the JSON branch are handled as
/// there; others propagate to the caller.
void runCompletionSteps(const std::optional<std::string>& data, const std::optional<Error>& error,
                        const SuccessCallback& onSuccess, const FailureCallback& onFailure);
}  // namespace detail

}  // namespace orvalis
