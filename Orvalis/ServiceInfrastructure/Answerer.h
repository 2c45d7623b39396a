#pragma once

#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Transport/URLRequest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvalis {

/// What an Answerer gives back in place of the server: an answer, or a failed exchange.
struct ORVALIS_EXPORT AnswererReply {
    /// The answer's HTTP status.
    long statusCode = 200;
    /// The answer's header fields, in order.
    std::vector<std::pair<std::string, std::string>> headers;
    /// The answer's body, as the server would send it (not compressed).
    std::string body;
    /// When set, the exchange failed with this Error instead (domain URLErrorDomain
    /// and a URLErrorCode, as the network would give); the fields above are ignored.
    std::optional<Error> failure;
    /// With a failure: whether the request may have reached the server (Reached::Maybe) or not (No).
    bool requestSent = false;

    /// An answer of status with body as "application/json".
    static AnswererReply json(std::string body, long status = 200);
    /// The exchange failed with code of URLErrorDomain (e.g. URLErrorNetworkConnectionLost);
    /// sent: whether the request may have reached the server.
    static AnswererReply transportFailure(std::int64_t code, bool sent);
};

/// Answers a Client's requests in-process, in place of the network, for a host's own
/// tests: it receives each request exactly as it would go out (method, URL, header
/// fields with the OAuth signature, body), on the library's delivery thread, once per
/// attempt. Whatever it throws becomes a failed exchange (URLErrorUnknown, not sent).
using Answerer = std::function<AnswererReply(const URLRequest& request)>;

}  // namespace orvalis
