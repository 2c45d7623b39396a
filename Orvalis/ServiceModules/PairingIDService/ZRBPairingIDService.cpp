#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDService.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

namespace orvalis {

detail::PreparedRequest detail::prepare(const ZRBPairingIDServiceRequest& request, const PreparePolicy& policy) {
    return prepareGET(request, {}, request.getRelativepath(), request.getQueryParam(), policy);
}

void ZRBPairingIDService::getPairingIDService(const ZRBPairingIDServiceRequest& request, SuccessCallback onSuccess,
                                              FailureCallback onFailure) const {
    detail::sendWithCallbacks(detail::prepare(request, {requireSignature()}), std::move(onSuccess),
                              std::move(onFailure));
}

}  // namespace orvalis
