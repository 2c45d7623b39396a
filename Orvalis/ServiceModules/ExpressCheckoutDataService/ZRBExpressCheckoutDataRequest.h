#pragma once

#include <Orvalis/ServiceModules/ZRBBaseServiceRequest.h>

#include <optional>
#include <string>
#include <vector>

namespace orvalis {

/// Request of the express-checkout operation, sent as a JSON body of eight
/// entries. pspId and externalData are stored only; no operation sends them.
class ORVALIS_EXPORT ZRBExpressCheckoutDataRequest : public ZRBBaseServiceRequest {
public:
    /**@{*/
    /// The merchant's checkout id, the body's "checkoutId".
    const std::optional<std::string>& checkoutId() const noexcept { return checkoutId_; }
    void setCheckoutId(std::optional<std::string> value) { checkoutId_ = std::move(value); }
    void setCheckoutId(detail::TextLike auto&& value) {
        checkoutId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The pairing id, the body's "pairingId".
    const std::optional<std::string>& pairingId() const noexcept { return pairingId_; }
    void setPairingId(std::optional<std::string> value) { pairingId_ = std::move(value); }
    void setPairingId(detail::TextLike auto&& value) {
        pairingId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The id of the pre-checkout data used, the body's "preCheckoutTransactionId".
    const std::optional<std::string>& preCheckoutTransactionId() const noexcept { return preCheckoutTransactionId_; }
    void setPreCheckoutTransactionId(std::optional<std::string> value) { preCheckoutTransactionId_ = std::move(value); }
    void setPreCheckoutTransactionId(detail::TextLike auto&& value) {
        preCheckoutTransactionId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The amount to charge, the body's "amount" (a number); a non-finite one empties the body.
    double amount() const noexcept { return amount_; }
    void setAmount(double value) noexcept { amount_ = value; }
    /**@}*/
    /**@{*/
    /// The currency code of the amount, the body's "currency".
    const std::optional<std::string>& currency() const noexcept { return currency_; }
    void setCurrency(std::optional<std::string> value) { currency_ = std::move(value); }
    void setCurrency(detail::TextLike auto&& value) {
        currency_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The id of the chosen card, the body's "cardId".
    const std::optional<std::string>& cardId() const noexcept { return cardId_; }
    void setCardId(std::optional<std::string> value) { cardId_ = std::move(value); }
    void setCardId(detail::TextLike auto&& value) {
        cardId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// The id of the chosen shipping address, the body's "shippingAddressId".
    const std::optional<std::string>& shippingAddressId() const noexcept { return shippingAddressId_; }
    void setShippingAddressId(std::optional<std::string> value) { shippingAddressId_ = std::move(value); }
    void setShippingAddressId(detail::TextLike auto&& value) {
        shippingAddressId_ = detail::optionalText(std::forward<decltype(value)>(value));
    }
    /**@}*/
    /**@{*/
    /// True when nothing is shipped, the body's "digitalGoods" (a boolean).
    bool digitalGoods() const noexcept { return digitalGoods_; }
    void setDigitalGoods(bool value) noexcept { digitalGoods_ = value; }
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

    /// "/quorvex/expresscheckout".
    std::string getRelativepath() const override;
    /// "checkoutId", "digitalGoods", "currency", "preCheckoutTransactionId",
    /// "cardId", "amount", "pairingId", "shippingAddressId".
    std::vector<std::string> getArraysOfKeys() const override;
    /// Exactly the eight listed entries: unset strings as null, amount a
    /// number, digitalGoods a boolean.
    Dictionary dictionaryRepresentation() const override;

protected:
    std::span<const detail::RequestField> fieldTable() const override;

private:
    std::optional<std::string> checkoutId_;
    std::optional<std::string> pairingId_;
    std::optional<std::string> preCheckoutTransactionId_;
    double amount_ = 0;
    std::optional<std::string> currency_;
    std::optional<std::string> cardId_;
    std::optional<std::string> shippingAddressId_;
    bool digitalGoods_ = false;
    std::optional<std::string> pspId_;
    std::optional<std::string> externalData_;
};

}  // namespace orvalis
