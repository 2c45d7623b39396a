#include <Orvalis/ServiceModules/ZRBBaseService.h>

namespace orvalis {

ZRBBaseService::~ZRBBaseService() = default;

}  // namespace orvalis
