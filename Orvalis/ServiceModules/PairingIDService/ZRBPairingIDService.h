#pragma once

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDServiceRequest.h>
#include <Orvalis/ServiceModules/ZRBBaseService.h>

namespace orvalis {

/// Pairing ID: GET with the pairing transaction id and user id in the query.
class ORVALIS_EXPORT ZRBPairingIDService : public ZRBBaseService {
public:
    /// Signs and starts the request, then returns; exactly one callback follows
    /// later on the delivery thread with the server's answer or the failure.
    void getPairingIDService(const ZRBPairingIDServiceRequest& request, SuccessCallback onSuccess,
                             FailureCallback onFailure) const;
};

}  // namespace orvalis
