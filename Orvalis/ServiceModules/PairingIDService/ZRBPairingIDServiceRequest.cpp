#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDServiceRequest.h>
#include <Orvalis/ServiceModules/detail/RequestQuery.h>

namespace orvalis {

std::string ZRBPairingIDServiceRequest::getRelativepath() const { return "/quorvex/pairingid"; }

Dictionary ZRBPairingIDServiceRequest::getQueryParam() const {
    Dictionary query;
    detail::addQueryParam(query, "pairingTransactionId", pairingTransactionId_);
    detail::addQueryParam(query, "userId", userId_);
    return query;
}

}  // namespace orvalis
