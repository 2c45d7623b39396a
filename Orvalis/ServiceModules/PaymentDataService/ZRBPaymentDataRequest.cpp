#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataRequest.h>
#include <Orvalis/ServiceModules/detail/RequestQuery.h>

namespace orvalis {

const char* const kPaymentDataRequestCheckoutId = "checkoutId";
const char* const kPaymentDataRequestCartId = "cartId";

std::string ZRBPaymentDataRequest::getRelativepath() const { return "/quorvex/paymentdata"; }

Dictionary ZRBPaymentDataRequest::getQueryParam() const {
    Dictionary query;
    detail::addQueryParam(query, kPaymentDataRequestCheckoutId, checkoutId_);
    detail::addQueryParam(query, kPaymentDataRequestCartId, cartId_);
    return query;
}

}  // namespace orvalis
