#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataRequest.h>

namespace orvalis {

std::string ZRBPrecheckoutDataRequest::getRelativepath() const { return "/quorvex/precheckoutdata/"; }

}  // namespace orvalis
