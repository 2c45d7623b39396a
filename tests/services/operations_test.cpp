// The six operations end to end: ZRBOrvalis -> signer -> URL session -> the
// sandbox, which verifies every signature with the merchant's certificate.
#include <Orvalis/Foundation/Bundle.h>
#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/ServiceInfrastructure/ZRBOrvalis.h>
#include <Orvalis/ServiceModules/ExpressCheckoutDataService/ZRBExpressCheckoutDataService.h>
#include <Orvalis/ServiceModules/PairingIDService/AutorizePairing/ZRBAuthorizePairingService.h>
#include <SandboxWorld.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

using ts::credentialed;
using ts::Outcomes;

ts::SandboxWorld& world() { return ts::sandboxWorld(); }
std::string describe(const Outcomes::One& o) { return o.describe(); }

class Operations : public ::testing::Test {
protected:
    void SetUp() override {
        world();
        before_ = world().server->requests().size();
        std::filesystem::remove(world().dir.path() / "AuthorizePairing.xml");
    }
    // The requests the sandbox saw during this test.
    std::vector<sandbox::RecordedRequest> seen() const {
        auto all = world().server->requests();
        return {all.begin() + static_cast<std::ptrdiff_t>(before_), all.end()};
    }
    void writeTemplate(const std::string& text) { world().dir.write("AuthorizePairing.xml", text); }

    std::size_t before_ = 0;
    ZRBOrvalis orvalis_;
};

}  // namespace

TEST_F(Operations, AllSixSendWhatTheServerExpectsAndAreAccepted) {
    writeTemplate("<Req><Token>[OAuthToken]</Token><Checkout>[MerchantCheckoutId]</Checkout></Req>");
    auto init = credentialed<ZRBInitializePairingRequest>();
    init.setCheckoutID("chk 1");
    init.setUserId("user+1");
    auto pairing = credentialed<ZRBPairingIDServiceRequest>();
    pairing.setPairingTransactionId("t+2");
    pairing.setUserId("a/b");
    auto authorise = credentialed<ZRBAuthorisePairingRequest>();
    authorise.setCheckoutID("c&1");
    authorise.setPairingTransactionId("tok<2>");
    auto pre = credentialed<ZRBPrecheckoutDataRequest>();
    pre.setPairingId("pair-9");
    auto express = credentialed<ZRBExpressCheckoutDataRequest>();
    express.setCheckoutId("chk");
    express.setAmount(10.25);
    express.setDigitalGoods(true);
    express.setCurrency("EUR");
    auto payment = credentialed<ZRBPaymentDataRequest>();
    payment.setTransactionId("tx-5");
    payment.setCheckoutId("chk");
    payment.setCartId("cart 7");
    payment.setPspId("never-sent");

    struct Case {
        std::function<void(Outcomes&)> start;
        const char* method;
        std::string target;
        std::string contentType;
        std::string body;
    };
    const Case cases[] = {
        {[&](Outcomes& o) { orvalis_.initializePairing(init, o.success(), o.failure()); }, "GET",
         "/dataprov-apis/public/initializepairing?checkoutId=chk%201&userId=user%2B1", "", ""},
        {[&](Outcomes& o) { orvalis_.getPairingIDService(pairing, o.success(), o.failure()); }, "GET",
         "/quorvex/pairingid?pairingTransactionId=t%2B2&userId=a%2Fb", "", ""},
        {[&](Outcomes& o) { orvalis_.authorizePairing(authorise, o.success(), o.failure()); }, "POST",
         "/dataprov-apis/stage1/quorvex/partner/v6/pairing", "application/xml;charset=UTF-8",
         "<Req><Token>tok<2></Token><Checkout>c&1</Checkout></Req>"},
        {[&](Outcomes& o) { orvalis_.getPreCheckoutDataService(pre, o.success(), o.failure()); }, "GET",
         "/quorvex/precheckoutdata/pair-9", "", ""},
        {[&](Outcomes& o) { orvalis_.expressCheckoutDataService(express, o.success(), o.failure()); }, "POST",
         "/quorvex/expresscheckout", "application/json", ZRBExpressCheckoutDataService::requestBody(express)},
        {[&](Outcomes& o) { orvalis_.getChekcoutResourceService(payment, o.success(), o.failure()); }, "GET",
         "/quorvex/paymentdata/tx-5?checkoutId=chk&cartId=cart%207", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        std::size_t count = world().server->requests().size();
        Outcomes out;
        c.start(out);
        ASSERT_TRUE(out.waitFor(1));
        auto got = out.all();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got[0].success) << describe(got[0]);
        EXPECT_NE(got[0].thread, std::this_thread::get_id());

        auto all = world().server->requests();
        ASSERT_EQ(all.size(), count + 1);
        const auto& r = all.back();
        EXPECT_EQ(r.verdict, "accepted") << r.baseString;
        EXPECT_EQ(r.method, c.method);
        EXPECT_EQ(r.target, c.target);
        EXPECT_EQ(r.contentType, c.contentType);
        EXPECT_EQ(r.body, c.body);
        EXPECT_EQ(r.authorization.find("oauth_body_hash") != std::string::npos, std::string(c.method) == "POST");
        EXPECT_NE(r.authorization.find("oauth_signature_method=\"RSA-SHA1\""), std::string::npos);
        EXPECT_EQ(r.target.find("never-sent"), std::string::npos);
    }
}

TEST_F(Operations, ExpressCheckoutSendsAllEightKeysAsPrettyJSON) {
    auto express = credentialed<ZRBExpressCheckoutDataRequest>();
    express.setAmount(3.5);
    Outcomes out;
    orvalis_.expressCheckoutDataService(express, out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(1));
    ASSERT_TRUE(out.all()[0].success) << describe(out.all()[0]);
    // The sandbox echoes the body it received.
    Value received = out.all()[0].success->objectForKey("received");
    ASSERT_TRUE(received.isDictionary());
    EXPECT_EQ(received.asDictionary(), express.dictionaryRepresentation());
    auto r = seen().back();
    EXPECT_NE(r.body.find('\n'), std::string::npos) << r.body;
    auto parsed = JSONSerialization::JSONObjectWithData(r.body);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->asDictionary().size(), 8u);
    EXPECT_TRUE(parsed->asDictionary().objectForKey("checkoutId").isNull());
    EXPECT_TRUE(parsed->asDictionary().objectForKey("digitalGoods").isBool());
}

TEST_F(Operations, UnwritableExpressCheckoutIsLoggedAndSentSignedWithAnEmptyBody) {
    std::mutex m;
    std::vector<std::string> lines;
    setLogHandler([&](std::string_view l) {
        std::lock_guard lock(m);
        lines.emplace_back(l);
    });
    auto express = credentialed<ZRBExpressCheckoutDataRequest>();
    express.setAmount(std::numeric_limits<double>::quiet_NaN());
    Outcomes out;
    orvalis_.expressCheckoutDataService(express, out.success(), out.failure());
    bool arrived = out.waitFor(1);
    setLogHandler(LogHandler());
    ASSERT_TRUE(arrived);
    auto r = seen().back();
    EXPECT_EQ(r.verdict, "accepted");
    EXPECT_EQ(r.body, "");
    // The digest of zero bytes, not a missing hash.
    EXPECT_NE(r.authorization.find("oauth_body_hash=\"2jmj7l5rSw0yVb/vlWAYkK/YBwk=\""), std::string::npos);
    std::lock_guard lock(m);
    bool logged = false;
    for (const auto& l : lines) logged |= l.rfind("ExpressCheckoutService serialization fail:", 0) == 0;
    EXPECT_TRUE(logged);
}

TEST_F(Operations, AuthorizePairingTemplateIsFilledInPlainly) {
    ZRBAuthorizePairingService service;
    EXPECT_EQ(service.getBaseXMLRequest(), std::optional<std::string>(""));  // no template
    EXPECT_EQ(service.getAuthorizePairingBody("t", "c"), std::optional<std::string>(""));

    struct Case {
        std::string templ;
        std::optional<std::string> token, checkout;
        std::optional<std::string> body;
    } cases[] = {
        {"<a>[OAuthToken]</a><b>[MerchantCheckoutId]</b>", "tok", "chk", "<a>tok</a><b>chk</b>"},
        {"[OAuthToken][OAuthToken]-[MerchantCheckoutId]x[MerchantCheckoutId]", "T", "C", "TT-CxC"},
        {"<plain/>", "T", "C", "<plain/>"},
        {"<a>[MerchantCheckoutId]</a>", "T", "x&y<z>", "<a>x&y<z></a>"},
        // The checkout id goes in first, so a token placeholder inside it is replaced too.
        {"[MerchantCheckoutId]|[OAuthToken]", "T", "[OAuthToken]", "T|T"},
        {"[OAuthToken]", std::nullopt, "C", ""},
        {"caf\xC3\xA9 [OAuthToken]", "\xE2\x82\xAC", "C", "caf\xC3\xA9 \xE2\x82\xAC"},
        {"bad \xC3( [OAuthToken]", "T", "C", std::nullopt},
    };
    for (const Case& c : cases) {
        writeTemplate(c.templ);
        EXPECT_EQ(service.getAuthorizePairingBody(c.token, c.checkout), c.body) << c.templ;
    }
}

TEST_F(Operations, AuthorizePairingWithoutTemplateStillSendsASignedEmptyBody) {
    auto authorise = credentialed<ZRBAuthorisePairingRequest>();
    authorise.setCheckoutID("c");
    authorise.setPairingTransactionId("t");
    Outcomes out;
    orvalis_.authorizePairing(authorise, out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(1));
    auto r = seen().back();
    EXPECT_EQ(r.verdict, "accepted");
    EXPECT_EQ(r.body, "");
    EXPECT_NE(r.authorization.find("oauth_body_hash="), std::string::npos);
    EXPECT_EQ(r.contentType, "application/xml;charset=UTF-8");
    // The default answer is XML: delivered as its root node.
    ASSERT_TRUE(out.all()[0].success) << describe(out.all()[0]);
    EXPECT_EQ((*out.all()[0].success)["__name"].stringValue(),
              std::optional<std::string_view>("PairingDataResponse"));
}

TEST_F(Operations, PrecheckoutWithEmptyPairingIdEndsInASlashWithoutQuery) {
    auto pre = credentialed<ZRBPrecheckoutDataRequest>();
    pre.setPairingId("");
    Outcomes out;
    orvalis_.getPreCheckoutDataService(pre, out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(1));
    auto r = seen().back();
    EXPECT_EQ(r.target, "/quorvex/precheckoutdata/");
    EXPECT_EQ(r.verdict, "accepted");
}

TEST_F(Operations, ServerFailuresReachOnFailure) {
    struct Case {
        const char* fault;
        std::int64_t code;
        const char* message;
    } cases[] = {
        {"errors", 101, "Injected failure"},
        {"xml-error", 101, "Server Error"},
        {"http500", 101, "Server Error"},
    };
    auto pairing = credentialed<ZRBPairingIDServiceRequest>();
    pairing.setPairingTransactionId("t");
    pairing.setUserId("u");
    for (const Case& c : cases) {
        world().server->setFault("pairingid", *sandbox::Fault::parse(c.fault));
        Outcomes out;
        orvalis_.getPairingIDService(pairing, out.success(), out.failure());
        ASSERT_TRUE(out.waitFor(1));
        auto got = out.all();
        ASSERT_EQ(got.size(), 1u);
        ASSERT_TRUE(got[0].failure) << c.fault << ": " << describe(got[0]);
        EXPECT_EQ(got[0].failure->domain(), kZRBNetworkErrorDomain);
        EXPECT_EQ(got[0].failure->code(), c.code);
        EXPECT_EQ(got[0].failure->localizedDescription(), c.message);
    }
    world().server->setFault("pairingid", sandbox::Fault{});
}

TEST_F(Operations, BadCredentialsAndUnsetFieldsAreRefusedByTheServer) {
    auto wrongPassword = credentialed<ZRBPairingIDServiceRequest>();
    wrongPassword.setMerechantKeyFilePassword("wrong");
    wrongPassword.setPairingTransactionId("t");
    wrongPassword.setUserId("u");
    auto missingUser = credentialed<ZRBPairingIDServiceRequest>();
    missingUser.setPairingTransactionId("t");
    auto wrongConsumer = credentialed<ZRBPairingIDServiceRequest>();
    wrongConsumer.setConsumerKey("other");
    wrongConsumer.setPairingTransactionId("t");
    wrongConsumer.setUserId("u");
    const std::pair<const ZRBPairingIDServiceRequest*, const char*> cases[] = {
        {&wrongPassword, "Request rejected: no signature"},
        {&missingUser, "Request rejected: missing query parameter userId"},
        {&wrongConsumer, "Request rejected: unknown consumer key"},
    };
    for (const auto& [request, message] : cases) {
        Outcomes out;
        orvalis_.getPairingIDService(*request, out.success(), out.failure());
        ASSERT_TRUE(out.waitFor(1));
        auto got = out.all();
        ASSERT_TRUE(got[0].failure) << describe(got[0]);
        EXPECT_EQ(got[0].failure->code(), 101);
        EXPECT_EQ(got[0].failure->localizedDescription(), message);
    }
}

TEST_F(Operations, FacadeReleasedRightAfterStartingStillDelivers) {
    Outcomes out;
    {
        auto facade = std::make_unique<ZRBOrvalis>();
        auto pre = credentialed<ZRBPrecheckoutDataRequest>();
        pre.setPairingId("p");
        facade->getPreCheckoutDataService(pre, out.success(), out.failure());
        pre.setPairingId("changed after the call");  // the request may be reused at once
    }
    ASSERT_TRUE(out.waitFor(1));
    ASSERT_TRUE(out.all()[0].success) << describe(out.all()[0]);
    EXPECT_EQ(seen().back().target, "/quorvex/precheckoutdata/p");
}

TEST_F(Operations, TwoOperationsOnOneFacadeAnswerInServerOrder) {
    world().server->setFault("initializepairing", *sandbox::Fault::parse("delay:1500"));
    auto slow = credentialed<ZRBInitializePairingRequest>();
    slow.setCheckoutID("c");
    slow.setUserId("u");
    auto fast = credentialed<ZRBPrecheckoutDataRequest>();
    fast.setPairingId("fast");
    Outcomes out;
    orvalis_.initializePairing(slow, out.success(), out.failure());
    orvalis_.getPreCheckoutDataService(fast, out.success(), out.failure());
    bool both = out.waitFor(2);
    world().server->setFault("initializepairing", sandbox::Fault{});
    ASSERT_TRUE(both);
    auto got = out.all();
    ASSERT_EQ(got.size(), 2u);
    ASSERT_TRUE(got[0].success && got[1].success);
    EXPECT_TRUE(got[0].success->contains("preCheckoutTransactionId"));
    EXPECT_TRUE(got[1].success->contains("pairingTransactionId"));
}

TEST_F(Operations, ManyThreadsEachGetExactlyOneCallbackPerOperation) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 6;
    Outcomes out;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ZRBOrvalis facade;
            for (int i = 0; i < kPerThread; ++i) {
                auto pre = credentialed<ZRBPrecheckoutDataRequest>();
                pre.setPairingId("p" + std::to_string(t) + "-" + std::to_string(i));
                facade.getPreCheckoutDataService(pre, out.success(), out.failure());
            }
        });
    }
    for (auto& th : threads) th.join();
    ASSERT_TRUE(out.waitFor(kThreads * kPerThread));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a stray second callback would show here
    auto got = out.all();
    EXPECT_EQ(got.size(), static_cast<std::size_t>(kThreads * kPerThread));
    for (const auto& o : got) EXPECT_TRUE(o.success) << describe(o);
    auto requests = seen();
    EXPECT_EQ(requests.size(), got.size());
    for (const auto& r : requests) EXPECT_EQ(r.verdict, "accepted");
}
