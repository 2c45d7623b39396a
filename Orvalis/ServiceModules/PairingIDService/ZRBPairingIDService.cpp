#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDService.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

namespace orvalis {

void ZRBPairingIDService::getPairingIDService(const ZRBPairingIDServiceRequest& request, SuccessCallback onSuccess,
                                              FailureCallback onFailure) const {
    if (detail::refusedBeforeSending(request, {}, onFailure)) return;
    detail::SignedRequest signedRequest =
        detail::signedGET(request, request.getRelativepath(), request.getQueryParam());
    detail::send(*this, request, signedRequest, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis
