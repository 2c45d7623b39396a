#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBIinitializePairingService.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

namespace orvalis {

detail::PreparedRequest detail::prepare(const ZRBInitializePairingRequest& request, const PreparePolicy& policy) {
    return prepareGET(request, {}, request.getRelativepath(), request.getQueryParam(), policy);
}

void ZRBIinitializePairingService::initializePairing(const ZRBInitializePairingRequest& request,
                                                     SuccessCallback onSuccess, FailureCallback onFailure) const {
    detail::sendWithCallbacks(detail::prepare(request, {requireSignature()}), std::move(onSuccess),
                              std::move(onFailure));
}

}  // namespace orvalis
