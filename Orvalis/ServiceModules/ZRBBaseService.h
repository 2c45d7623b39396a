#pragma once

#include <Orvalis/Foundation/Export.h>

namespace orvalis {

/// Base of the six service classes. Services hold no state: each call builds a
/// signed request from a request object and hands it to the transport.
class ORVALIS_EXPORT ZRBBaseService {
public:
    virtual ~ZRBBaseService();
};

}  // namespace orvalis
