// Request objects built from dictionaries: which keys are read, of which kinds, in which order.
// (Paths and query strings are checked on the wire, in operations_test.cpp.)
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataRequest.h>
#include <Orvalis/ServiceModules/PairingIDService/InitPairing/ZRBInitializePairingRequest.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvalis {
namespace {

struct FromDictionary {
    const char* name;
    std::optional<Dictionary> input;
    std::string representation;  // description of the request's dictionaryRepresentation()
};
class ExpressCheckoutFromDictionary : public ::testing::TestWithParam<FromDictionary> {};

TEST_P(ExpressCheckoutFromDictionary, KeepsTheListedKeysOfTheirKindsInListOrder) {
    auto r = ZRBBaseServiceRequest::initWithDictionary<ZRBExpressCheckoutDataRequest>(GetParam().input);
    EXPECT_EQ(r.dictionaryRepresentation().description(), GetParam().representation);
    // Fields not in the key list and the base fields are never carried over.
    EXPECT_FALSE(r.pspId() || r.externalData() || r.host() || r.consumerKey());
}

const std::string kFresh =
    R"({"checkoutId":null,"digitalGoods":false,"currency":null,)"
    R"("preCheckoutTransactionId":null,"cardId":null,"amount":0,"pairingId":null,"shippingAddressId":null})";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, ExpressCheckoutFromDictionary,
    ::testing::Values(
        FromDictionary{"NoDictionary", std::nullopt, kFresh},
        FromDictionary{"EveryKey",
                       Dictionary{{"pairingId", ""}, {"checkoutId", "chk-1"}, {"preCheckoutTransactionId", "pre & <7>"},
                                  {"amount", 12.5}, {"currency", "EUR"}, {"cardId", nullptr},
                                  {"shippingAddressId", "ship-9"}, {"digitalGoods", true}, {"pspId", "psp"},
                                  {"externalData", "ext"}, {"host", "h"}, {"consumerKey", "ck"}},
                       R"({"checkoutId":"chk-1","digitalGoods":true,"currency":"EUR","preCheckoutTransactionId":)"
                       R"("pre & <7>","cardId":null,"amount":12.5,"pairingId":"","shippingAddressId":"ship-9"})"},
        // a number or an array for a string: unset; an integer amount is still a number; a number
        // for the boolean leaves it as it is
        FromDictionary{"ForeignKinds",
                       Dictionary{{"checkoutId", 42}, {"currency", Array{"EUR"}}, {"amount", 7}, {"digitalGoods", 1},
                                  {"unknown", "x"}},
                       R"({"checkoutId":null,"digitalGoods":false,"currency":null,"preCheckoutTransactionId":null,)"
                       R"("cardId":null,"amount":7,"pairingId":null,"shippingAddressId":null})"},
        FromDictionary{"TextForNumbers", Dictionary{{"amount", "12"}, {"digitalGoods", "true"}}, kFresh}),
    [](const auto& info) { return info.param.name; });
// clang-format on

TEST(OperationRequests, NonFiniteAmountsStayNumbersAndQueriesLeaveOutUnsetFieldsButKeepEmptyOnes) {
    ZRBExpressCheckoutDataRequest express;
    express.setAmount(std::numeric_limits<double>::infinity());
    const Value amount = express.dictionaryRepresentation().objectForKey("amount");
    EXPECT_TRUE(amount.isNumber() && std::isinf(amount.asDouble()));
    ZRBInitializePairingRequest init;
    init.setUserId("u");
    EXPECT_EQ(init.getQueryParam(), (Dictionary{{"userId", "u"}}));
    init.setCheckoutID("");
    EXPECT_EQ(init.getQueryParam(), (Dictionary{{"checkoutId", ""}, {"userId", "u"}}));
}

// Absent and null alike give nothing; what is there comes back unconverted.
TEST(BaseServiceRequest, ObjectOrNilForKeyTreatsAbsentAndNullAlike) {
    const Dictionary d{{"null", nullptr}, {"num", 3}};
    for (const char* key : {"null", "absent"}) EXPECT_FALSE(ZRBBaseServiceRequest::objectOrNilForKey(key, d)) << key;
    EXPECT_EQ(ZRBBaseServiceRequest::objectOrNilForKey("num", d), Value(3));
}

// A host's own request type: its key list must be the one consulted while it is created.
struct TwoFieldRequest : ZRBBaseServiceRequest {
    std::vector<std::string> getArraysOfKeys() const override { return {"weight", "name", "missingField"}; }
    Dictionary dictionaryRepresentation() const override { return dictionaryOfListedFields(); }
    std::span<const detail::RequestField> fieldTable() const override {
        static constexpr detail::RequestField fields[] = {
            detail::field<&TwoFieldRequest::name_>("name"), detail::field<&TwoFieldRequest::weight_>("weight")};
        return fields;
    }
    std::optional<std::string> name_;
    double weight_ = 0;
};

TEST(BaseServiceRequest, InitWithDictionaryConsultsTheKeysOfTheTypeBeingCreated) {
    auto r = ZRBBaseServiceRequest::initWithDictionary<TwoFieldRequest>(
        Dictionary{{"name", "n"}, {"weight", 2.5}, {"missingField", "x"}});
    EXPECT_EQ(r.dictionaryRepresentation().description(), R"({"weight":2.5,"name":"n","missingField":null})");
    std::unique_ptr<ZRBBaseServiceRequest> asBase = std::make_unique<TwoFieldRequest>(r);
    EXPECT_EQ(asBase->dictionaryRepresentation(), r.dictionaryRepresentation());
    EXPECT_TRUE(
        ZRBBaseServiceRequest::initWithDictionary(Dictionary{{"checkoutId", "c"}}).dictionaryRepresentation().empty());
}

}  // namespace
}  // namespace orvalis
