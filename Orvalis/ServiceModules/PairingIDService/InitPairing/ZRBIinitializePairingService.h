#pragma once

#include <Orvalis/Foundation/Callbacks.h>
#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBInitializePairingRequest.h>
#include <Orvalis/ServiceModules/ZRBBaseService.h>

namespace orvalis {

/// Initialize pairing: GET with the checkout id and user id in the query.
class ORVALIS_EXPORT ZRBIinitializePairingService : public ZRBBaseService {
public:
    /// Signs and starts the request, then returns; exactly one callback follows
    /// later on the delivery thread with the server's answer or the failure.
    void initializePairing(const ZRBInitializePairingRequest& request, SuccessCallback onSuccess,
                           FailureCallback onFailure) const;
};

}  // namespace orvalis
