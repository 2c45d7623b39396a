#pragma once

#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>

#include <optional>
#include <string>

namespace orvalis {

/// Request of the authorize-pairing operation: both fields go into the XML
/// body made from the "AuthorizePairing.xml" template.
class ORVALIS_EXPORT ZRBAuthorisePairingRequest : public ZRBBaseServiceRequest {
public:
    /**@{*/
    /// The merchant's checkout id, written over "[MerchantCheckoutId]" in the template.
    const std::optional<std::string>& checkoutID() const noexcept { return checkoutID_; }
    void setCheckoutID(std::optional<std::string> value) { checkoutID_ = std::move(value); }
    void setCheckoutID(detail::TextLike auto&& value) {
        checkoutID_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The pairing transaction id, written over "[OAuthToken]" in the template.
    const std::optional<std::string>& pairingTransactionId() const noexcept { return pairingTransactionId_; }
    void setPairingTransactionId(std::optional<std::string> value) { pairingTransactionId_ = std::move(value); }
    void setPairingTransactionId(detail::TextLike auto&& value) {
        pairingTransactionId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/

    /// "/dataprov-apis/stage1/quorvex/partner/v6/pairing".
    std::string getRelativepath() const override;

private:
    std::optional<std::string> checkoutID_;
    std::optional<std::string> pairingTransactionId_;
};

}  // namespace orvalis
