#pragma once

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataRequest.h>
#include <Orvalis/ServiceModules/ZRBBaseService.h>

namespace orvalis {

/// Payment data (checkout resource): GET of the path, "/" and the transaction id, with the checkout and cart ids in the
/// query.
class ORVALIS_EXPORT ZRBPaymentDataService : public ZRBBaseService {
public:
    /// Signs and starts the request, then returns; exactly one callback follows
    /// later on the delivery thread with the server's answer or the failure.
    void getChekcoutResourceService(const ZRBPaymentDataRequest& request, SuccessCallback onSuccess,
                                    FailureCallback onFailure) const;
};

}  // namespace orvalis
