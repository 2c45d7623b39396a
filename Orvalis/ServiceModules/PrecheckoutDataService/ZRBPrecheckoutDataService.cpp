#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataService.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

namespace orvalis {

detail::PreparedRequest detail::prepare(const ZRBPrecheckoutDataRequest& request, const PreparePolicy& policy) {
    const std::string pairingId = request.pairingId().value_or(std::string());
    return prepareGET(request, {pairingId}, request.getRelativepath() + pairingId, std::nullopt, policy);
}

void ZRBPrecheckoutDataService::getPreCheckoutDataService(const ZRBPrecheckoutDataRequest& request,
                                                          SuccessCallback onSuccess, FailureCallback onFailure) const {
    detail::sendWithCallbacks(detail::prepare(request, {requireSignature()}), std::move(onSuccess),
                              std::move(onFailure));
}

}  // namespace orvalis
