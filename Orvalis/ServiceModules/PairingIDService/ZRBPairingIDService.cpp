#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDService.h>
#include <Orvalis/ServiceModules/ServiceSupport.h>

namespace orvalis {

void ZRBPairingIDService::getPairingIDService(const ZRBPairingIDServiceRequest& request, SuccessCallback onSuccess,
                                              FailureCallback onFailure) const {
    if (detail::refusedBeforeSending(request, {}, onFailure)) return;
    URLRequest signedRequest = detail::signedGET(request, request.getRelativepath(), request.getQueryParam());
    detail::send(signedRequest, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis
