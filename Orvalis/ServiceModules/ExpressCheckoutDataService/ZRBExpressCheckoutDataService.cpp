#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/Log.h>
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

void ZRBExpressCheckoutDataService::expressCheckoutDataService(const ZRBExpressCheckoutDataRequest& request,
                                                               SuccessCallback onSuccess,
                                                               FailureCallback onFailure) const {
    if (detail::refusedBeforeSending(request, {}, onFailure)) return;
    detail::SignedRequest signedRequest = detail::signedPOST(request, request.getRelativepath(), requestBody(request),
                                                             HTTPContentTypeToString[HTTPContentTypeJSON]);
    detail::send(*this, request, signedRequest, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis
