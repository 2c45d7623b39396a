#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataService.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

namespace orvalis {

void ZRBPaymentDataService::getChekcoutResourceService(const ZRBPaymentDataRequest& request, SuccessCallback onSuccess,
                                                       FailureCallback onFailure) const {
    const std::string transactionId = request.transactionId().value_or(std::string());
    if (detail::refusedBeforeSending(request, {transactionId}, onFailure)) return;
    detail::SignedRequest signedRequest =
        detail::signedGET(request, request.getRelativepath() + "/" + transactionId, request.getQueryParam());
    detail::send(*this, request, signedRequest, std::move(onSuccess), std::move(onFailure));
}

}  // namespace orvalis
