// The six operations end to end: ZRBOrvalis -> signer -> URL session -> the sandbox, which verifies
// every signature with the merchant's certificate.
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/ServiceInfrastructure/ZRBOrvalis.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataService.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorizePairingService.h>
#include <Printers.h>
#include <SandboxWorld.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <thread>

namespace orvalis::testsupport {
namespace {

class Operations : public ::testing::Test {
protected:
    void SetUp() override {
        before_ = sandboxWorld().server->requests().size();
        std::filesystem::remove(sandboxWorld().dir.path() / "AuthorizePairing.xml");
    }
    // The requests the sandbox saw during this test.
    std::vector<sandbox::RecordedRequest> seen() const {
        auto all = sandboxWorld().server->requests();
        return {all.begin() + static_cast<std::ptrdiff_t>(before_), all.end()};
    }
    // Runs one operation to its callback; the one callback it got.
    Outcomes::One run(const std::function<void(ZRBOrvalis&, Outcomes&)>& operation) {
        Outcomes out;
        operation(orvalis_, out);
        EXPECT_TRUE(out.waitFor(1) && out.waitReleased());  // and no second callback can come
        auto all = out.all();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? Outcomes::One{} : all[0];
    }
    void writeTemplate(const std::string& text) { sandboxWorld().dir.write("AuthorizePairing.xml", text); }
    std::size_t before_ = 0;
    ZRBOrvalis orvalis_;
};

template <class R>
R with(std::function<void(R&)> fill) {
    R r = credentialed<R>();
    fill(r);
    return r;
}
using Start = std::function<void(ZRBOrvalis&, Outcomes&)>;
// Starts one operation of the facade with a credentialed request that fill completes.
template <class R>
Start op(void (ZRBOrvalis::*start)(const R&, SuccessCallback, FailureCallback) const,
    std::type_identity_t<std::function<void(R&)>> fill) {
    return [=](const ZRBOrvalis& o, Outcomes& out) { (o.*start)(with<R>(fill), out.success(), out.failure()); };
}
using Express = ZRBExpressCheckoutDataRequest;
using Pre = ZRBPrecheckoutDataRequest;
using Pay = ZRBPaymentDataRequest;
void express(Express& r) {
    r.setCheckoutId("chk");
    r.setAmount(10.25);
    r.setDigitalGoods(true);
    r.setCurrency("EUR");
}
// Every key of the request, unset ones as null, in the pretty form the server is sent.
const std::string kExpressBody =
    "{\n  \"checkoutId\": \"chk\",\n  \"digitalGoods\": true,\n  \"currency\": \"EUR\",\n  "
    "\"preCheckoutTransactionId\": null,\n  \"cardId\": null,\n  \"amount\": 10.25,\n  \"pairingId\": null,\n  "
    "\"shippingAddressId\": null\n}";

struct Sent {
    const char* name;
    Start start;
    const char* method;
    std::string target, contentType;
    std::string body;
};
class OperationRequest : public Operations, public ::testing::WithParamInterface<Sent> {};

TEST_P(OperationRequest, SendsWhatTheServerExpectsAndIsAccepted) {
    const Sent& c = GetParam();
    // Without a template (a row whose body is empty), AuthorizePairing sends an empty body, signed.
    if (!c.body.empty())
        writeTemplate("<Req><Token>[OAuthToken]</Token><Checkout>[MerchantCheckoutId]</Checkout></Req>");
    auto got = run(c.start);
    EXPECT_TRUE(got.success) << got.describe();
    EXPECT_NE(got.thread, std::this_thread::get_id());
    auto requests = seen();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.verdict, "accepted") << r.baseString;
    EXPECT_EQ(
        std::tuple(r.method, r.target, r.contentType, r.body), std::tuple(c.method, c.target, c.contentType, c.body));
    EXPECT_EQ(r.authorization.find("oauth_body_hash") != std::string::npos, std::string(c.method) == "POST");
    EXPECT_NE(r.authorization.find("oauth_signature_method=\"RSA-SHA1\""), std::string::npos);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, OperationRequest,
    ::testing::Values(
        Sent{"InitializePairing",
             op(&ZRBOrvalis::initializePairing, [](auto& r) { r.setCheckoutID("chk 1"); r.setUserId("user+1"); }),
             "GET", "/dataprov-apis/public/initializepairing?checkoutId=chk%201&userId=user%2B1", "", ""},
        Sent{"PairingId",
             op(&ZRBOrvalis::getPairingIDService,
                [](auto& r) { r.setPairingTransactionId("t+2"); r.setUserId("a/b"); }),
             "GET", "/quorvex/pairingid?pairingTransactionId=t%2B2&userId=a%2Fb", "", ""},
        Sent{"AuthorizePairing",
             op(&ZRBOrvalis::authorizePairing,
                [](auto& r) { r.setCheckoutID("c&1"); r.setPairingTransactionId("tok<2>"); }),
             "POST", "/dataprov-apis/stage1/quorvex/partner/v6/pairing", "application/xml;charset=UTF-8",
             "<Req><Token>tok<2></Token><Checkout>c&1</Checkout></Req>"},
        Sent{"AuthorizePairingWithoutTemplate",
             op(&ZRBOrvalis::authorizePairing, [](auto& r) { r.setCheckoutID("c"); r.setPairingTransactionId("t"); }),
             "POST", "/dataprov-apis/stage1/quorvex/partner/v6/pairing", "application/xml;charset=UTF-8", ""},
        Sent{"PrecheckoutData", op(&ZRBOrvalis::getPreCheckoutDataService, [](auto& r) { r.setPairingId("pair-9"); }),
             "GET", "/quorvex/precheckoutdata/pair-9", "", ""},
        Sent{"ExpressCheckout", op(&ZRBOrvalis::expressCheckoutDataService, express), "POST",
             "/quorvex/expresscheckout", "application/json", kExpressBody},
        Sent{"PaymentData", op(&ZRBOrvalis::getChekcoutResourceService, [](auto& r) {
                 r.setTransactionId("tx-5"); r.setCheckoutId("chk"); r.setCartId("cart 7"); r.setPspId("never-sent");
             }),
             "GET", "/quorvex/paymentdata/tx-5?checkoutId=chk&cartId=cart%207", "", ""}),
    RowName());
// clang-format on

TEST(ExpressCheckoutService, RequestBodyIsTheBodySent) {
    EXPECT_EQ(ZRBExpressCheckoutDataService::requestBody(with<Express>(express)), kExpressBody);
}

// What cannot be right is refused before anything is signed or sent, on the callback facade and the client alike.
struct Refused {
    const char* name;
    Start facade;
    std::function<Operation(const Client&)> client;
    std::int64_t code;
};
class NeverSent : public Operations, public ::testing::WithParamInterface<Refused> {};

TEST_P(NeverSent, ARequestThatCannotBeRight) {
    const Refused& c = GetParam();
    auto got = run(c.facade);
    ClientConfiguration configuration;
    configuration.host = sandboxWorld().host;
    OperationResult viaClient = c.client(Client(configuration)).get();
    for (const Error& error :
        {got.failure.value_or(Error("none", 0, {})), viaClient.error.value_or(Error("none", 0, {}))}) {
        EXPECT_EQ(std::tuple(error.domain(), error.code()), std::tuple(std::string(URLErrorDomain), c.code)) << error;
    }
    EXPECT_EQ(viaClient.reached, Reached::No);
    EXPECT_TRUE(seen().empty()) << "sent: " << seen().front().target;
}

// clang-format off
// The facade's and the client's start of the operation that takes the request R.
auto starts(Express*) { return std::pair(&ZRBOrvalis::expressCheckoutDataService, &Client::expressCheckout); }
auto starts(Pre*) { return std::pair(&ZRBOrvalis::getPreCheckoutDataService, &Client::getPrecheckoutData); }
auto starts(Pay*) { return std::pair(&ZRBOrvalis::getChekcoutResourceService, &Client::getPaymentData); }
template <class R>
Refused refused(const char* name, std::type_identity_t<std::function<void(R&)>> fill, std::int64_t code) {
    auto [facade, client] = starts(static_cast<R*>(nullptr));
    return {name, op(facade, fill), [=, client = client](const Client& c) { return (c.*client)(with<R>(fill), {}); },
        code};
}

// An unset id reaches the check as an empty one. A request's own host is the one checked, on the client too.
INSTANTIATE_TEST_SUITE_P(Rows, NeverSent, ::testing::Values(
    refused<Express>("NaNAmount", [](auto& r) { express(r), r.setAmount(NAN); }, URLErrorCannotWriteBody),
    refused<Express>("Surrogate", [](auto& r) { express(r), r.setCurrency("\xed\xa0\x80"); }, URLErrorCannotWriteBody),
    refused<Pre>("MissingPairingId", [](auto&) {}, URLErrorBadPathSegment),
    refused<Pre>("BadHost", [](auto& r) { r.setHost("h/x"), r.setPairingId("p"); }, URLErrorBadHost),
    refused<Pay>("MissingTransactionId", [](auto& r) { r.setCheckoutId("c"); }, URLErrorBadPathSegment)),
    RowName());
// clang-format on

// Nothing is escaped: see the AuthorizePairing row of OperationRequest ("tok<2>", "c&1"). The checkout id goes in
// first, so a token placeholder inside it is replaced too.
TEST_F(Operations, AuthorizePairingTemplateIsFilledInPlainly) {
    using Text = std::optional<std::string>;
    for (const auto& [text, token, checkout, body] :
        {std::tuple<std::string, Text, Text, Text>{
             "[OAuthToken][OAuthToken]-[MerchantCheckoutId]x[MerchantCheckoutId]", "T", "C", "TT-CxC"},
            {"[MerchantCheckoutId]|[OAuthToken]", "T", "[OAuthToken]", "T|T"}, {"[OAuthToken]", std::nullopt, "C", ""},
            {"bad \xC3( [OAuthToken]", "T", "C", std::nullopt}}) {
        writeTemplate(text);
        EXPECT_EQ(ZRBAuthorizePairingService().getAuthorizePairingBody(token, checkout), body) << text;
    }
}

// A facade and a request released right after the start still deliver.
TEST_F(Operations, OperationsOfOneFacadeAnswerInServerOrderAndOutliveIt) {
    sandboxWorld().server->setFault("initializepairing", *sandbox::Fault::parse("delay:800"));
    Outcomes out;
    {
        auto facade = std::make_unique<ZRBOrvalis>();
        facade->initializePairing(acceptable<ZRBInitializePairingRequest>(), out.success(), out.failure());
        auto pre = with<ZRBPrecheckoutDataRequest>([](auto& r) { r.setPairingId("fast"); });
        facade->getPreCheckoutDataService(pre, out.success(), out.failure());
        pre.setPairingId("changed after the call");
    }
    const bool both = out.waitFor(2);
    sandboxWorld().server->setFault("initializepairing", sandbox::Fault{});
    ASSERT_TRUE(both);
    auto got = out.all();
    ASSERT_TRUE(got[0].success && got[1].success) << got[0].describe() << got[1].describe();
    EXPECT_TRUE(
        got[0].success->contains("preCheckoutTransactionId") && got[1].success->contains("pairingTransactionId"));
    EXPECT_TRUE(std::ranges::any_of(seen(), [](const auto& r) { return r.target == "/quorvex/precheckoutdata/fast"; }));
}

TEST_F(Operations, ManyThreadsSigningAtOnceEachGetExactlyOneAcceptedCallback) {
    constexpr int kThreads = 4, kPerThread = 6;
    Outcomes out;
    for (std::vector<std::jthread> threads; threads.size() < kThreads;)  // joined as the loop ends
        threads.emplace_back([&, t = static_cast<int>(threads.size())] {
            ZRBOrvalis facade;
            for (int i = t * kPerThread; i < (t + 1) * kPerThread; ++i)
                facade.getPreCheckoutDataService(
                    with<ZRBPrecheckoutDataRequest>([&](auto& r) { r.setPairingId("p" + std::to_string(i)); }),
                    out.success(i), out.failure(i));
        });
    ASSERT_TRUE(out.waitFor(kThreads * kPerThread));
    ASSERT_TRUE(out.waitReleased());  // a stray second callback would have run by then
    std::vector<int> calls(kThreads * kPerThread);
    for (const auto& o : out.all()) EXPECT_TRUE(++calls[o.tag] && o.success) << o.describe();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), 1), kThreads * kPerThread);
    for (const auto& r : seen()) EXPECT_EQ(r.verdict, "accepted");
}

}  // namespace
}  // namespace orvalis::testsupport
