#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Foundation/Value/detail/UTF8.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorizePairingService.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

#include <string_view>

namespace orvalis {

const char* const kAutorizeParingServiceOAuthToken = "[OAuthToken]";
const char* const kAutorizeParingServiceMerchantCheckoutId = "[MerchantCheckoutId]";

namespace {

void replaceAll(std::string& text, std::string_view placeholder, std::string_view value) {
    std::string out;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(placeholder, from)) != std::string::npos; from = at + placeholder.size()) {
        out.append(text, from, at - from);
        out.append(value);
    }
    // One pass over the original text: a value that contains the placeholder is not replaced again.
    out.append(text, from, std::string::npos);
    text = std::move(out);
}

}  // namespace

std::optional<std::string> ZRBAuthorizePairingService::getBaseXMLRequest() const {
    auto path = Bundle::mainBundle().pathForResource("AuthorizePairing", "xml");
    if (!path) return std::string();
    auto bytes = detail::readWholeFile(*path);
    if (!bytes) return std::string();
    if (!detail::isValidUTF8(*bytes)) return std::nullopt;
    return bytes;
}

std::optional<std::string> ZRBAuthorizePairingService::getAuthorizePairingBody(
    const std::optional<std::string>& pairingTransactionId, const std::optional<std::string>& checkoutID) const {
    auto body = getBaseXMLRequest();
    if (!body) return std::nullopt;
    // Checkout id first, token second: a token placeholder brought in by the
    // checkout id is then replaced by the token.
    replaceAll(*body, kAutorizeParingServiceMerchantCheckoutId, checkoutID.value_or(std::string()));
    replaceAll(*body, kAutorizeParingServiceOAuthToken, pairingTransactionId.value_or(std::string()));
    return body;
}

detail::PreparedRequest detail::prepare(const ZRBAuthorisePairingRequest& request, const PreparePolicy& policy) {
    // A missing template sends an empty document, as the server expects to judge it.
    auto body = ZRBAuthorizePairingService().getAuthorizePairingBody(request.pairingTransactionId(),
                                                                     request.checkoutID());
    return preparePOST(request, request.getRelativepath(), body, HTTPContentTypeToString[HTTPContentTypeXML], policy);
}

void ZRBAuthorizePairingService::authorizePairing(const ZRBAuthorisePairingRequest& request, SuccessCallback onSuccess,
                                                  FailureCallback onFailure) const {
    detail::sendWithCallbacks(detail::prepare(request, {requireSignature()}), std::move(onSuccess),
                              std::move(onFailure));
}

}  // namespace orvalis
