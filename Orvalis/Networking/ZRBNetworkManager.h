#pragma once

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Transport/URLRequest.h>
#include <Orvalis/Foundation/Value/Value.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace orvalis {

/// Domain of the Errors (code 101, or 102 for an answer too large to decode)
/// that ZRBNetworkManager makes from an answer it received; transport
/// failures keep the URL session's own domain.
inline constexpr const char* kZRBNetworkErrorDomain = "org.orvalis.ZRBNetworkManager";

/// Code of the Errors in kZRBNetworkErrorDomain that an answer's content causes.
inline constexpr std::int64_t kZRBNetworkErrorCode = 101;

/// Code of the Error ("Answer too large to decode") for an answer whose
/// decoding would take more than kAnswerDecodingFactor times its size plus
/// 1 MiB, or nest deeper than 512; no part of such an answer is delivered.
inline constexpr std::int64_t kZRBNetworkAnswerTooLargeErrorCode = 102;

/// Memory the Values of an answer may take while it is decoded, as a multiple
/// of its size (the reader's own buffers come on top: 8 times in all).
inline constexpr double kAnswerDecodingFactor = 6.5;

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
