#pragma once

#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>

#include <optional>
#include <string>

namespace orvalis {

/// Request of the initialize-pairing operation (GET with the checkout id and user id).
class ORVALIS_EXPORT ZRBInitializePairingRequest : public ZRBBaseServiceRequest {
public:
    /**@{*/
    /// The merchant's checkout id, sent as "checkoutId".
    const std::optional<std::string>& checkoutID() const noexcept { return checkoutID_; }
    void setCheckoutID(std::optional<std::string> value) { checkoutID_ = std::move(value); }
    void setCheckoutID(detail::TextLike auto&& value) {
        checkoutID_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The user's id, sent as "userId".
    const std::optional<std::string>& userId() const noexcept { return userId_; }
    void setUserId(std::optional<std::string> value) { userId_ = std::move(value); }
    void setUserId(detail::TextLike auto&& value) {
        userId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/

    /// "/dataprov-apis/public/initializepairing".
    std::string getRelativepath() const override;
    /// "checkoutId" = checkoutID, "userId" = userId; a field that is unset is left out.
    Dictionary getQueryParam() const override;

private:
    std::optional<std::string> checkoutID_;
    std::optional<std::string> userId_;
};

}  // namespace orvalis
