#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBIinitializePairingService.h>
#include <Orvalis/ServiceModules/ServiceSupport.h>

namespace orvalis {

void ZRBIinitializePairingService::initializePairing(const ZRBInitializePairingRequest& request,
                                                     SuccessCallback onSuccess, FailureCallback onFailure) const {
    if (detail::refusedBeforeSending(request, {}, onFailure)) return;
    URLRequest signedRequest = detail::signedGET(request, request.getRelativepath(), request.getQueryParam());
    detail::send(signedRequest, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis
