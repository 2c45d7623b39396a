#pragma once

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorisePairingRequest.h>
#include <Orvalis/ServiceModules/ZRBBaseService.h>

#include <optional>
#include <string>

namespace orvalis {

/// Placeholder of the template replaced by the pairing transaction id: "[OAuthToken]".
extern ORVALIS_EXPORT const char* const kAutorizeParingServiceOAuthToken;
/// Placeholder of the template replaced by the checkout id: "[MerchantCheckoutId]".
extern ORVALIS_EXPORT const char* const kAutorizeParingServiceMerchantCheckoutId;

/// Authorize pairing: POSTs the "AuthorizePairing.xml" template of the main
/// bundle, filled in, as "application/xml;charset=UTF-8".
class ORVALIS_EXPORT ZRBAuthorizePairingService : public ZRBBaseService {
public:
    /// Signs and starts the request, then returns; exactly one callback follows
    /// later on the delivery thread with the server's answer or the failure.
    void authorizePairing(const ZRBAuthorisePairingRequest& request, SuccessCallback onSuccess,
                          FailureCallback onFailure) const;

    /// The template's text, read anew on every call: "" when the bundle has no
    /// readable "AuthorizePairing.xml", no value when its bytes are not UTF-8.
    std::optional<std::string> getBaseXMLRequest() const;

    /// The template with every "[MerchantCheckoutId]" replaced by checkoutID,
    /// then every "[OAuthToken]" by the pairing transaction id, both inserted
    /// as they are (no XML escaping; unset counts as empty). No value when the
    /// template is not UTF-8.
    std::optional<std::string> getAuthorizePairingBody(const std::optional<std::string>& pairingTransactionId,
                                                       const std::optional<std::string>& checkoutID) const;
};

}  // namespace orvalis
