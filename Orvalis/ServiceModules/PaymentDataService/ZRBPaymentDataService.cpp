#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataService.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

namespace orvalis {

detail::PreparedRequest detail::prepare(const ZRBPaymentDataRequest& request, const PreparePolicy& policy) {
    const std::string transactionId = request.transactionId().value_or(std::string());
    return prepareGET(request, {transactionId}, request.getRelativepath() + "/" + transactionId,
                      request.getQueryParam(), policy);
}

void ZRBPaymentDataService::getChekcoutResourceService(const ZRBPaymentDataRequest& request, SuccessCallback onSuccess,
                                                       FailureCallback onFailure) const {
    detail::sendWithCallbacks(detail::prepare(request, {requireSignature()}), std::move(onSuccess),
                              std::move(onFailure));
}

}  // namespace orvalis
