#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataService.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

#include <exception>

namespace orvalis {

std::string ZRBExpressCheckoutDataService::requestBody(const ZRBExpressCheckoutDataRequest& request) {
    try {
        return JSONSerialization::dataWithJSONObject(Value(request.dictionaryRepresentation()), true);
    } catch (const std::exception& e) {
        log(std::string("ExpressCheckoutService serialization fail:") + e.what());
    }
    return std::string();
}

detail::PreparedRequest detail::prepare(const ZRBExpressCheckoutDataRequest& request, const PreparePolicy& policy) {
    std::string body;
    try {
        body = JSONSerialization::dataWithJSONObject(Value(request.dictionaryRepresentation()), true);
    } catch (const std::exception& e) {
        // An empty payment must never go out signed: the server could take it for one.
        log(std::string("ExpressCheckoutService serialization fail:") + e.what());
        return {std::nullopt, bodyRefusal(e.what())};
    }
    return preparePOST(request, request.getRelativepath(), body, HTTPContentTypeToString[HTTPContentTypeJSON], policy);
}

void ZRBExpressCheckoutDataService::expressCheckoutDataService(const ZRBExpressCheckoutDataRequest& request,
                                                               SuccessCallback onSuccess,
                                                               FailureCallback onFailure) const {
    detail::sendWithCallbacks(detail::prepare(request, {requireSignature()}), std::move(onSuccess),
                              std::move(onFailure));
}

}  // namespace orvalis
