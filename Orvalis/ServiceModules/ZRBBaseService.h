#pragma once

#include <Orvalis/Foundation/Export.h>

namespace orvalis {

/// Base of the six service classes. Each call builds a signed request from a
/// request object and hands it to the transport; the only state a service
/// keeps is the requireSignature setting.
class ORVALIS_EXPORT ZRBBaseService {
public:
    virtual ~ZRBBaseService();

    /**@{*/
    /// Off (the default): a request that could not be signed goes out unsigned.
    /// On: it is not sent, and onFailure gets URLErrorCannotSignRequest (-1231).
    /// Not synchronised: set it before the service is shared between threads.
    bool requireSignature() const noexcept { return requireSignature_; }
    void setRequireSignature(bool require) noexcept { requireSignature_ = require; }
    /**@}*/

private:
    bool requireSignature_ = false;
};

}  // namespace orvalis
