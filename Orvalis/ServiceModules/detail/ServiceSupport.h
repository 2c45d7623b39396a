#pragma once

// Internal to the library: not installed. The first stage of every operation,
// whatever face started it: every local check, the body written, the key
// loaded and the request signed, before anything may be sent.
#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Transport/URLRequest.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorisePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBInitializePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDServiceRequest.h>
#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataRequest.h>
#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataRequest.h>
#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::detail {

/// What a face asks of the prepare stage.
struct PreparePolicy {
    /// Refuse a request that could not be signed (URLErrorCannotSignRequest)
    /// instead of letting it go out unsigned.
    bool requireSignature = false;
};

/// A request ready to send, or the reason nothing may be sent: exactly one is set.
struct PreparedRequest {
    std::optional<URLRequest> request;
    std::optional<Error> refusal;
};

/**@{*/
/// The six operations' requests, prepared. A host's mistake (a host that is not
/// a host, an empty or unsafe path id, a body the writer refuses, a missing
/// signature where one is required) becomes the refusal; nothing is sent for it.
PreparedRequest prepare(const ZRBInitializePairingRequest& request, const PreparePolicy& policy);
PreparedRequest prepare(const ZRBPairingIDServiceRequest& request, const PreparePolicy& policy);
PreparedRequest prepare(const ZRBAuthorisePairingRequest& request, const PreparePolicy& policy);
PreparedRequest prepare(const ZRBPrecheckoutDataRequest& request, const PreparePolicy& policy);
PreparedRequest prepare(const ZRBExpressCheckoutDataRequest& request, const PreparePolicy& policy);
PreparedRequest prepare(const ZRBPaymentDataRequest& request, const PreparePolicy& policy);
/**@}*/

/// A signed GET of path (with the ids it carries as segments, each checked)
/// and query, for request's host and credentials over HTTPS with RSA-SHA1.
PreparedRequest prepareGET(const ZRBBaseServiceRequest& request, std::initializer_list<std::string_view> pathIds,
                           const std::string& path, const std::optional<Dictionary>& query,
                           const PreparePolicy& policy);
/// A signed POST of body (no body when absent) with contentType.
PreparedRequest preparePOST(const ZRBBaseServiceRequest& request, const std::string& path,
                            const std::optional<std::string>& body, const std::string& contentType,
                            const PreparePolicy& policy);
/// The URLErrorCannotWriteBody refusal for a body the writer refused, with its reason.
Error bodyRefusal(std::string_view reason);

/// The callback facade's last stages: a refusal reaches onFailure on the
/// delivery thread; a request goes to ZRBNetworkManager, whose answer reaches
/// exactly one of the callbacks.
void sendWithCallbacks(PreparedRequest prepared, SuccessCallback onSuccess, FailureCallback onFailure);

}  // namespace orvalis::detail
