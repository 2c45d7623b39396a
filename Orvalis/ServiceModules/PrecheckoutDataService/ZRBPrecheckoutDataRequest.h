#pragma once

#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>

#include <optional>
#include <string>

namespace orvalis {

/// Request of the pre-checkout-data operation: the pairing id is appended to
/// the path, nothing goes into a query.
class ORVALIS_EXPORT ZRBPrecheckoutDataRequest : public ZRBBaseServiceRequest {
public:
    /**@{*/
    /// The pairing id, appended to the path as it is (unset appends nothing).
    const std::optional<std::string>& pairingId() const noexcept { return pairingId_; }
    void setPairingId(std::optional<std::string> value) { pairingId_ = std::move(value); }
    void setPairingId(detail::TextLike auto&& value) {
        pairingId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/

    /// "/quorvex/precheckoutdata/" (the pairing id follows it directly).
    std::string getRelativepath() const override;

private:
    std::optional<std::string> pairingId_;
};

}  // namespace orvalis
