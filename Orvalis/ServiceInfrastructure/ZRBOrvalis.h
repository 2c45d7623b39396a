#pragma once

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/Foundation/Export.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorisePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBInitializePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDServiceRequest.h>
#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataRequest.h>
#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataRequest.h>

/// Everything the library offers: the ZRBOrvalis operations and their request
/// objects, the XML converter, and the platform layer (values, errors, transport).
namespace orvalis {

/// The library's entry point: the six merchant operations. Holds nothing but
/// the requireSignature setting, so one object serves any number of calls from
/// any thread and may be dropped while calls are in flight.
///
/// Each operation reads the request during the call (it may be reused as soon
/// as the call returns), starts the signed HTTPS request and returns. Later,
/// on the URL session's delivery thread and never inside the call, exactly one
/// callback runs: onSuccess with the decoded answer (JSON object or XML root
/// node), or onFailure with the URL-loading error or a code-101 server error.
/// Both callbacks must be given.
class ORVALIS_EXPORT ZRBOrvalis {
public:
    /**@{*/
    /// Off (the default): a request that could not be signed (key file missing
    /// or unreadable, wrong password, no RSA key) goes out unsigned and the
    /// server refuses it. On: nothing is sent, and onFailure gets
    /// URLErrorCannotSignRequest (-1231) on the delivery thread. Set it before
    /// the object is shared between threads; the operations only read it.
    bool requireSignature() const noexcept { return requireSignature_; }
    void setRequireSignature(bool require) noexcept { requireSignature_ = require; }
    /**@}*/

    /// GET "/dataprov-apis/public/initializepairing" with checkoutId and userId.
    void initializePairing(const ZRBInitializePairingRequest& request, SuccessCallback onSuccess,
                           FailureCallback onFailure) const;
    /// GET "/quorvex/pairingid" with pairingTransactionId and userId.
    void getPairingIDService(const ZRBPairingIDServiceRequest& request, SuccessCallback onSuccess,
                             FailureCallback onFailure) const;
    /// POST "/dataprov-apis/stage1/quorvex/partner/v6/pairing" with the filled-in
    /// "AuthorizePairing.xml" template of the main bundle.
    void authorizePairing(const ZRBAuthorisePairingRequest& request, SuccessCallback onSuccess,
                          FailureCallback onFailure) const;
    /// GET "/quorvex/precheckoutdata/" followed by the pairing id.
    void getPreCheckoutDataService(const ZRBPrecheckoutDataRequest& request, SuccessCallback onSuccess,
                                   FailureCallback onFailure) const;
    /// POST "/quorvex/expresscheckout" with the request as JSON.
    void expressCheckoutDataService(const ZRBExpressCheckoutDataRequest& request, SuccessCallback onSuccess,
                                    FailureCallback onFailure) const;
    /// GET "/quorvex/paymentdata/<transactionId>" with checkoutId and cartId:
    /// the payment data of a checkout.
    void getChekcoutResourceService(const ZRBPaymentDataRequest& request, SuccessCallback onSuccess,
                                    FailureCallback onFailure) const;

private:
    bool requireSignature_ = false;
};

}  // namespace orvalis
