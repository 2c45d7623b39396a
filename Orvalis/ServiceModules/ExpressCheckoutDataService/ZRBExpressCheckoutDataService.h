#pragma once

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataRequest.h>
#include <Orvalis/ServiceModules/ZRBBaseService.h>

#include <string>

namespace orvalis {

/// Express checkout: POSTs the request's eight entries as pretty-printed JSON
/// ("application/json").
class ORVALIS_EXPORT ZRBExpressCheckoutDataService : public ZRBBaseService {
public:
    /// Signs and starts the request, then returns; exactly one callback follows
    /// later on the delivery thread. A request that cannot be written as JSON
    /// (text that is not UTF-8, a non-finite amount) is not sent: onFailure gets
    /// URLErrorCannotWriteBody (-1232).
    void expressCheckoutDataService(const ZRBExpressCheckoutDataRequest& request, SuccessCallback onSuccess,
                                    FailureCallback onFailure) const;

    /// The JSON text that expressCheckoutDataService sends for request; "" (and a
    /// log line) when it cannot be written.
    static std::string requestBody(const ZRBExpressCheckoutDataRequest& request);
};

}  // namespace orvalis
