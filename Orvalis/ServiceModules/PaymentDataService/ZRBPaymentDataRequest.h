#pragma once

#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>

#include <optional>
#include <string>

namespace orvalis {

/// Query key of the checkout id: "checkoutId".
extern ORVALIS_EXPORT const char* const kPaymentDataRequestCheckoutId;
/// Query key of the cart id: "cartId".
extern ORVALIS_EXPORT const char* const kPaymentDataRequestCartId;

/// Request of the payment-data (checkout resource) operation: the transaction
/// id goes into the path, the checkout and cart ids into the query. pspId and
/// externalData are stored only; no operation sends them.
class ORVALIS_EXPORT ZRBPaymentDataRequest : public ZRBBaseServiceRequest {
public:
    /**@{*/
    /// The transaction id: the path segment after "/quorvex/paymentdata/" (unset leaves it empty).
    const std::optional<std::string>& transactionId() const noexcept { return transactionId_; }
    void setTransactionId(std::optional<std::string> value) { transactionId_ = std::move(value); }
    void setTransactionId(detail::TextLike auto&& value) {
        transactionId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The merchant's cart id, sent as "cartId".
    const std::optional<std::string>& cartId() const noexcept { return cartId_; }
    void setCartId(std::optional<std::string> value) { cartId_ = std::move(value); }
    void setCartId(detail::TextLike auto&& value) {
        cartId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The merchant's checkout id, sent as "checkoutId".
    const std::optional<std::string>& checkoutId() const noexcept { return checkoutId_; }
    void setCheckoutId(std::optional<std::string> value) { checkoutId_ = std::move(value); }
    void setCheckoutId(detail::TextLike auto&& value) {
        checkoutId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The payment service provider's id; kept with the request, never sent.
    const std::optional<std::string>& pspId() const noexcept { return pspId_; }
    void setPspId(std::optional<std::string> value) { pspId_ = std::move(value); }
    void setPspId(detail::TextLike auto&& value) {
        pspId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// Free data of the merchant's; kept with the request, never sent.
    const std::optional<std::string>& externalData() const noexcept { return externalData_; }
    void setExternalData(std::optional<std::string> value) { externalData_ = std::move(value); }
    void setExternalData(detail::TextLike auto&& value) {
        externalData_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/

    /// "/quorvex/paymentdata" ("/" and the transaction id follow it).
    std::string getRelativepath() const override;
    /// "checkoutId" = checkoutId, "cartId" = cartId; a field that is unset is left out.
    Dictionary getQueryParam() const override;

private:
    std::optional<std::string> transactionId_;
    std::optional<std::string> cartId_;
    std::optional<std::string> checkoutId_;
    std::optional<std::string> pspId_;
    std::optional<std::string> externalData_;
};

}  // namespace orvalis
