#include <Orvalis/ServiceInfrastructure/ZRBOrvalis.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataService.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorizePairingService.h>
#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBIinitializePairingService.h>
#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDService.h>
#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataService.h>
#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataService.h>

// Each call makes its own service object and lets go of it on return: the
// pending request, not the facade or the service, keeps the callbacks alive.
namespace orvalis {
namespace {

template <class Service>
Service service(bool requireSignature) {
    Service s;
    s.setRequireSignature(requireSignature);
    return s;
}

}  // namespace

void ZRBOrvalis::initializePairing(const ZRBInitializePairingRequest& request, SuccessCallback onSuccess,
                                   FailureCallback onFailure) const {
    service<ZRBIinitializePairingService>(requireSignature_)
        .initializePairing(request, std::move(onSuccess), std::move(onFailure));
}

void ZRBOrvalis::getPairingIDService(const ZRBPairingIDServiceRequest& request, SuccessCallback onSuccess,
                                     FailureCallback onFailure) const {
    service<ZRBPairingIDService>(requireSignature_)
        .getPairingIDService(request, std::move(onSuccess), std::move(onFailure));
}

void ZRBOrvalis::authorizePairing(const ZRBAuthorisePairingRequest& request, SuccessCallback onSuccess,
                                  FailureCallback onFailure) const {
    service<ZRBAuthorizePairingService>(requireSignature_)
        .authorizePairing(request, std::move(onSuccess), std::move(onFailure));
}

void ZRBOrvalis::getPreCheckoutDataService(const ZRBPrecheckoutDataRequest& request, SuccessCallback onSuccess,
                                           FailureCallback onFailure) const {
    service<ZRBPrecheckoutDataService>(requireSignature_)
        .getPreCheckoutDataService(request, std::move(onSuccess), std::move(onFailure));
}

void ZRBOrvalis::expressCheckoutDataService(const ZRBExpressCheckoutDataRequest& request, SuccessCallback onSuccess,
                                            FailureCallback onFailure) const {
    service<ZRBExpressCheckoutDataService>(requireSignature_)
        .expressCheckoutDataService(request, std::move(onSuccess), std::move(onFailure));
}

void ZRBOrvalis::getChekcoutResourceService(const ZRBPaymentDataRequest& request, SuccessCallback onSuccess,
                                            FailureCallback onFailure) const {
    service<ZRBPaymentDataService>(requireSignature_)
        .getChekcoutResourceService(request, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis
