#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBInitializePairingRequest.h>
#include <Orvalis/ServiceModules/detail/RequestQuery.h>

namespace orvalis {

std::string ZRBInitializePairingRequest::getRelativepath() const { return "/dataprov-apis/public/initializepairing"; }

Dictionary ZRBInitializePairingRequest::getQueryParam() const {
    Dictionary query;
    detail::addQueryParam(query, "checkoutId", checkoutID_);
    detail::addQueryParam(query, "userId", userId_);
    return query;
}

}  // namespace orvalis
