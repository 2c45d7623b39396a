#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataRequest.h>

#include <array>

namespace orvalis {

std::string ZRBExpressCheckoutDataRequest::getRelativepath() const { return "/quorvex/expresscheckout"; }

std::vector<std::string> ZRBExpressCheckoutDataRequest::getArraysOfKeys() const {
    return {"checkoutId", "digitalGoods", "currency",  "preCheckoutTransactionId",
            "cardId",     "amount",       "pairingId", "shippingAddressId"};
}

Dictionary ZRBExpressCheckoutDataRequest::dictionaryRepresentation() const { return dictionaryOfListedFields(); }

std::span<const detail::RequestField> ZRBExpressCheckoutDataRequest::fieldTable() const {
    using R = ZRBExpressCheckoutDataRequest;
    static constexpr std::array<detail::RequestField, 10> fields{
        detail::field<&R::checkoutId_>("checkoutId"),
        detail::field<&R::pairingId_>("pairingId"),
        detail::field<&R::preCheckoutTransactionId_>("preCheckoutTransactionId"),
        detail::field<&R::amount_>("amount"),
        detail::field<&R::currency_>("currency"),
        detail::field<&R::cardId_>("cardId"),
        detail::field<&R::shippingAddressId_>("shippingAddressId"),
        detail::field<&R::digitalGoods_>("digitalGoods"),
        detail::field<&R::pspId_>("pspId"),
        detail::field<&R::externalData_>("externalData"),
    };
    return fields;
}

}  // namespace orvalis
