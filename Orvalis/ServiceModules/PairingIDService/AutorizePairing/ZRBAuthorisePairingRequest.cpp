#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorisePairingRequest.h>

namespace orvalis {

std::string ZRBAuthorisePairingRequest::getRelativepath() const {
    return "/dataprov-apis/stage1/quorvex/partner/v6/pairing";
}

}  // namespace orvalis
