#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataService.h>
#include <Orvalis/ServiceModules/ServiceSupport.h>

namespace orvalis {

void ZRBPaymentDataService::getChekcoutResourceService(const ZRBPaymentDataRequest& request, SuccessCallback onSuccess,
                                                       FailureCallback onFailure) const {
    const std::string transactionId = request.transactionId().value_or(std::string());
    if (detail::refusedBeforeSending(request, {transactionId}, onFailure)) return;
    URLRequest signedRequest =
        detail::signedGET(request, request.getRelativepath() + "/" + transactionId, request.getQueryParam());
    detail::send(signedRequest, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis
