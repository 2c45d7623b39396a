#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataService.h>
#include <Orvalis/ServiceModules/ServiceSupport.h>

namespace orvalis {

void ZRBPrecheckoutDataService::getPreCheckoutDataService(const ZRBPrecheckoutDataRequest& request,
                                                          SuccessCallback onSuccess, FailureCallback onFailure) const {
    detail::SignedRequest signedRequest = detail::signedGET(
        request, request.getRelativepath() + request.pairingId().value_or(std::string()), std::nullopt);
    detail::send(*this, request, signedRequest, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis
