#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorisePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBInitializePairingRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/ZRBPairingIDServiceRequest.h>
#include <Orvalis/ServiceModules/PaymentDataService/ZRBPaymentDataRequest.h>
#include <Orvalis/ServiceModules/PrecheckoutDataService/ZRBPrecheckoutDataRequest.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

using namespace orvalis;

namespace {

ZRBExpressCheckoutDataRequest filledExpressCheckout() {
    ZRBExpressCheckoutDataRequest r;
    r.setCheckoutId("chk-1");
    r.setPairingId("");  // empty is not unset
    r.setPreCheckoutTransactionId("pre & <7>");
    r.setAmount(12.5);
    r.setCurrency("EUR");
    r.setCardId(std::nullopt);
    r.setShippingAddressId("ship-9");
    r.setDigitalGoods(true);
    r.setPspId("psp");
    r.setExternalData("ext");
    return r;
}

}  // namespace

TEST(BaseServiceRequest, OverridablesAreEmptyNotUnsetAndBaseFieldsNeverMapped) {
    ZRBBaseServiceRequest base;
    EXPECT_EQ(base.getRelativepath(), "");
    EXPECT_TRUE(base.getQueryParam().empty());
    EXPECT_TRUE(base.dictionaryRepresentation().empty());
    EXPECT_TRUE(base.getArraysOfKeys().empty());

    Dictionary d{{"host", "h"}, {"consumerKey", "ck"}, {"merechantKeyFileName", "k"}, {"checkoutId", "c"}};
    auto fromBase = ZRBBaseServiceRequest::initWithDictionary(d);
    EXPECT_FALSE(fromBase.host());
    EXPECT_FALSE(fromBase.consumerKey());
    EXPECT_FALSE(fromBase.merechantKeyFileName());
    auto express = ZRBBaseServiceRequest::initWithDictionary<ZRBExpressCheckoutDataRequest>(d);
    EXPECT_FALSE(express.host());
    EXPECT_FALSE(express.consumerKey());
    EXPECT_EQ(express.checkoutId(), "c");
}

TEST(BaseServiceRequest, ObjectOrNilForKeyTreatsAbsentAndNullAlike) {
    Dictionary d{{"null", nullptr}, {"empty", ""}, {"num", 3}, {"arr", Array{1}}};
    EXPECT_FALSE(ZRBBaseServiceRequest::objectOrNilForKey("absent", d));
    EXPECT_FALSE(ZRBBaseServiceRequest::objectOrNilForKey("null", d));
    EXPECT_FALSE(ZRBBaseServiceRequest::objectOrNilForKey("empty", std::nullopt));
    auto empty = ZRBBaseServiceRequest::objectOrNilForKey("empty", d);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->isString());
    EXPECT_EQ(empty->asString(), "");
    auto num = ZRBBaseServiceRequest::objectOrNilForKey("num", d);
    ASSERT_TRUE(num);
    EXPECT_TRUE(num->isInteger());  // unchanged kind, no conversion
    auto arr = ZRBBaseServiceRequest::objectOrNilForKey("arr", d);
    ASSERT_TRUE(arr);
    EXPECT_TRUE(arr->isSame(d.objectForKey("arr")));
}

TEST(OperationRequests, PathsAndQueryMaps) {
    ZRBInitializePairingRequest init;
    init.setCheckoutID("c 1");
    init.setUserId("u+1");
    ZRBPairingIDServiceRequest pairing;
    pairing.setPairingTransactionId("t");
    pairing.setUserId("u");
    ZRBPaymentDataRequest payment;
    payment.setTransactionId("tx");
    payment.setCheckoutId("c");
    payment.setCartId("cart");
    payment.setPspId("psp");
    payment.setExternalData("ext");
    ZRBAuthorisePairingRequest authorise;
    authorise.setCheckoutID("c");
    authorise.setPairingTransactionId("t");
    ZRBPrecheckoutDataRequest precheckout;
    precheckout.setPairingId("p");
    auto express = filledExpressCheckout();

    struct Case {
        const ZRBBaseServiceRequest* request;
        const char* path;
        Dictionary query;
    };
    const Case cases[] = {
        {&init, "/dataprov-apis/public/initializepairing", {{"checkoutId", "c 1"}, {"userId", "u+1"}}},
        {&pairing, "/quorvex/pairingid", {{"pairingTransactionId", "t"}, {"userId", "u"}}},
        {&payment, "/quorvex/paymentdata", {{"checkoutId", "c"}, {"cartId", "cart"}}},
        {&authorise, "/dataprov-apis/stage1/quorvex/partner/v6/pairing", {}},
        {&precheckout, "/quorvex/precheckoutdata/", {}},
        {&express, "/quorvex/expresscheckout", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        // Through the base class: the overrides are what a service sees.
        EXPECT_EQ(c.request->getRelativepath(), c.path);
        Dictionary q = c.request->getQueryParam();
        EXPECT_EQ(q, c.query) << q.description();
        for (const auto& e : q) EXPECT_TRUE(e.value().isString());
    }
    EXPECT_EQ(std::string(kPaymentDataRequestCheckoutId), "checkoutId");
    EXPECT_EQ(std::string(kPaymentDataRequestCartId), "cartId");
}

TEST(OperationRequests, QueryMapsAreFreshAndLeaveOutUnsetFields) {
    ZRBInitializePairingRequest init;
    init.setUserId("u");
    EXPECT_EQ(init.getQueryParam(), (Dictionary{{"userId", "u"}}));
    init.setCheckoutID("");
    EXPECT_EQ(init.getQueryParam(), (Dictionary{{"checkoutId", ""}, {"userId", "u"}}));

    Dictionary first = init.getQueryParam();
    first.set("userId", "changed");
    EXPECT_EQ(init.getQueryParam()["userId"], Value("u"));
    EXPECT_TRUE(ZRBPaymentDataRequest().getQueryParam().empty());
}

TEST(ExpressCheckoutRequest, FreshRequestGivesEightEntriesWithNulls) {
    ZRBExpressCheckoutDataRequest fresh;
    Dictionary d = fresh.dictionaryRepresentation();
    ASSERT_EQ(d.size(), 8u) << d.description();
    int nulls = 0;
    for (const auto& e : d) nulls += e.value().isNull() ? 1 : 0;
    EXPECT_EQ(nulls, 6);
    ASSERT_TRUE(d.objectForKey("amount").isNumber());
    EXPECT_EQ(d.objectForKey("amount").asDouble(), 0.0);
    ASSERT_TRUE(d.objectForKey("digitalGoods").isBool());
    EXPECT_FALSE(d.objectForKey("digitalGoods").asBool());
    EXPECT_FALSE(d.contains("pspId"));
    EXPECT_FALSE(d.contains("externalData"));

    std::vector<std::string> keys;
    for (const auto& e : d) keys.emplace_back(e.key());
    EXPECT_EQ(keys, fresh.getArraysOfKeys());
    EXPECT_EQ(fresh.getArraysOfKeys(),
              (std::vector<std::string>{"checkoutId", "digitalGoods", "currency", "preCheckoutTransactionId", "cardId",
                                        "amount", "pairingId", "shippingAddressId"}));
}

TEST(ExpressCheckoutRequest, DictionaryRoundTripReproducesTheEightFields) {
    auto original = filledExpressCheckout();
    Dictionary d = original.dictionaryRepresentation();
    EXPECT_TRUE(d.objectForKey("digitalGoods").isBool());
    EXPECT_TRUE(d.objectForKey("cardId").isNull());
    EXPECT_EQ(d["pairingId"].asString(), "");

    auto copy = ZRBBaseServiceRequest::initWithDictionary<ZRBExpressCheckoutDataRequest>(d);
    EXPECT_EQ(copy.checkoutId(), original.checkoutId());
    EXPECT_EQ(copy.pairingId(), std::optional<std::string>(""));
    EXPECT_EQ(copy.preCheckoutTransactionId(), original.preCheckoutTransactionId());
    EXPECT_EQ(copy.amount(), 12.5);
    EXPECT_EQ(copy.currency(), original.currency());
    EXPECT_FALSE(copy.cardId());
    EXPECT_EQ(copy.shippingAddressId(), original.shippingAddressId());
    EXPECT_TRUE(copy.digitalGoods());
    // Not in the list: never carried over.
    EXPECT_FALSE(copy.pspId());
    EXPECT_FALSE(copy.externalData());
    EXPECT_EQ(copy.dictionaryRepresentation(), d);
}

TEST(ExpressCheckoutRequest, InitWithDictionaryHandlesMissingNullAndForeignKinds) {
    auto none = ZRBBaseServiceRequest::initWithDictionary<ZRBExpressCheckoutDataRequest>(std::nullopt);
    EXPECT_EQ(none.dictionaryRepresentation(), ZRBExpressCheckoutDataRequest().dictionaryRepresentation());

    Dictionary d{{"checkoutId", 42},          // a number for a string field: left unset
                 {"currency", Array{"EUR"}},  // an array: left unset
                 {"amount", 7},               // an integer number is still a number
                 {"digitalGoods", 1},         // a number for the boolean: left as it is
                 {"pairingId", nullptr},
                 {"pspId", "not listed"},
                 {"unknown", "x"}};
    auto r = ZRBBaseServiceRequest::initWithDictionary<ZRBExpressCheckoutDataRequest>(d);
    EXPECT_FALSE(r.checkoutId());
    EXPECT_FALSE(r.currency());
    EXPECT_FALSE(r.pairingId());
    EXPECT_FALSE(r.pspId());
    EXPECT_EQ(r.amount(), 7.0);
    EXPECT_FALSE(r.digitalGoods());

    Dictionary wrongNumbers{{"amount", "12"}, {"digitalGoods", "true"}};
    auto w = ZRBBaseServiceRequest::initWithDictionary<ZRBExpressCheckoutDataRequest>(wrongNumbers);
    EXPECT_EQ(w.amount(), 0.0);
    EXPECT_FALSE(w.digitalGoods());
}

TEST(ExpressCheckoutRequest, NonFiniteAmountStaysANumber) {
    ZRBExpressCheckoutDataRequest r;
    r.setAmount(std::numeric_limits<double>::infinity());
    Value amount = r.dictionaryRepresentation().objectForKey("amount");
    ASSERT_TRUE(amount.isNumber());
    EXPECT_TRUE(std::isinf(amount.asDouble()));
}

namespace {

// A host's own request type: its key list must be the one consulted while it is created.
class TwoFieldRequest : public ZRBBaseServiceRequest {
public:
    const std::optional<std::string>& name() const { return name_; }
    double weight() const { return weight_; }
    std::vector<std::string> getArraysOfKeys() const override { return {"weight", "name", "missingField"}; }
    Dictionary dictionaryRepresentation() const override { return dictionaryOfListedFields(); }

protected:
    std::span<const detail::RequestField> fieldTable() const override {
        static constexpr detail::RequestField fields[] = {
            detail::field<&TwoFieldRequest::name_>("name"),
            detail::field<&TwoFieldRequest::weight_>("weight"),
        };
        return fields;
    }

private:
    std::optional<std::string> name_;
    double weight_ = 0;
};

}  // namespace

TEST(BaseServiceRequest, InitWithDictionaryConsultsTheKeysOfTheTypeBeingCreated) {
    Dictionary d{{"name", "n"}, {"weight", 2.5}, {"missingField", "ignored"}};
    auto r = ZRBBaseServiceRequest::initWithDictionary<TwoFieldRequest>(d);
    EXPECT_EQ(r.name(), "n");
    EXPECT_EQ(r.weight(), 2.5);
    Dictionary back = r.dictionaryRepresentation();
    EXPECT_EQ(back.size(), 3u);
    EXPECT_TRUE(back.objectForKey("missingField").isNull());

    std::unique_ptr<ZRBBaseServiceRequest> asBase = std::make_unique<TwoFieldRequest>(r);
    EXPECT_EQ(asBase->dictionaryRepresentation(), back);
}
