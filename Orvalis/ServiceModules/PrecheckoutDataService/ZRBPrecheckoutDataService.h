#pragma once

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataRequest.h>
#include <Orvalis/ServiceModules/ZRBBaseService.h>

namespace orvalis {

/// Pre-checkout data: GET of the path followed directly by the pairing id, no query.
class ORVALIS_EXPORT ZRBPrecheckoutDataService : public ZRBBaseService {
public:
    /// Signs and starts the request, then returns; exactly one callback follows
    /// later on the delivery thread with the server's answer or the failure.
    void getPreCheckoutDataService(const ZRBPrecheckoutDataRequest& request, SuccessCallback onSuccess,
                                   FailureCallback onFailure) const;
};

}  // namespace orvalis
