#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataService.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

namespace orvalis {

void ZRBPrecheckoutDataService::getPreCheckoutDataService(const ZRBPrecheckoutDataRequest& request,
                                                          SuccessCallback onSuccess, FailureCallback onFailure) const {
    const std::string pairingId = request.pairingId().value_or(std::string());
    if (detail::refusedBeforeSending(request, {pairingId}, onFailure)) return;
    detail::SignedRequest signedRequest =
        detail::signedGET(request, request.getRelativepath() + pairingId, std::nullopt);
    detail::send(*this, request, signedRequest, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis
