// requireSignature: a request that could not be signed is refused locally,
// once, on the delivery thread, and never reaches the server; off, it goes
// out unsigned as before.
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <SandboxWorld.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

struct KeyCase {
    const char* name;
    std::optional<std::string> keyFile;
    std::optional<std::string> password;
    const char* cause;  // describe(KeyStatus) of why there is no key
};

class RequireSignature : public ::testing::TestWithParam<KeyCase> {
protected:
    void SetUp() override { before_ = ts::sandboxWorld().server->requests().size(); }
    std::size_t sent() const { return ts::sandboxWorld().server->requests().size() - before_; }

    // A request of type R with the row's key file and password (and the fields the sandbox needs).
    template <class R>
    R keyed() const {
        auto request = ts::acceptable<R>();
        request.setMerechantKeyFileName(GetParam().keyFile);
        request.setMerechantKeyFilePassword(GetParam().password);
        return request;
    }
    // The refusal names the cause and the key, whichever face reports it.
    void expectCannotSign(const Error& error) const {
        EXPECT_EQ(std::tuple(error.domain(), error.code()), std::tuple(std::string(URLErrorDomain), -1231));
        const std::string text = error.localizedDescription();
        EXPECT_NE(text.find(GetParam().cause), std::string::npos) << text;
        if (GetParam().keyFile) {
            EXPECT_NE(text.find("resource \"" + *GetParam().keyFile + "\""), std::string::npos) << text;
            EXPECT_NE(text.find(*GetParam().keyFile + ".p12\""), std::string::npos) << "where it looked: " << text;
        }
        EXPECT_EQ(error.userInfo().objectForKey(URLErrorKeyStatusKey), Value(GetParam().cause));
    }
    std::size_t before_ = 0;
};

}  // namespace

TEST_P(RequireSignature, OnRefusesEveryOperationBeforeSending) {
    ZRBOrvalis orvalis;
    orvalis.setRequireSignature(true);
    ts::Outcomes out;
    orvalis.initializePairing(keyed<ZRBInitializePairingRequest>(), out.success(), out.failure());
    orvalis.getPairingIDService(keyed<ZRBPairingIDServiceRequest>(), out.success(), out.failure());
    orvalis.authorizePairing(keyed<ZRBAuthorisePairingRequest>(), out.success(), out.failure());
    orvalis.getPreCheckoutDataService(keyed<ZRBPrecheckoutDataRequest>(), out.success(), out.failure());
    orvalis.expressCheckoutDataService(keyed<ZRBExpressCheckoutDataRequest>(), out.success(), out.failure());
    orvalis.getChekcoutResourceService(keyed<ZRBPaymentDataRequest>(), out.success(), out.failure());
    // A signed request last: its answer comes after any stray second refusal would have.
    orvalis.getPairingIDService(ts::acceptable<ZRBPairingIDServiceRequest>(), out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(7));
    auto all = out.all();
    for (const auto& one : all) {
        if (one.success) continue;
        expectCannotSign(*one.failure);
        EXPECT_NE(one.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const auto& one) { return one.failure.has_value(); }), 6);
    ASSERT_EQ(sent(), 1u);  // only the signed one
    EXPECT_TRUE(ts::sandboxWorld().server->requests().back().accepted);
}

// The client refuses by default, with the same cause as the facade. Its operations share one preparation
// (Client::run), unlike the facade's services, each of which is given the setting: a payment stands for them all.
TEST_P(RequireSignature, IsTheClientsDefault) {
    ClientConfiguration c;
    c.host = ts::sandboxWorld().host;
    OperationResult r = Client(c).expressCheckout(keyed<ZRBExpressCheckoutDataRequest>()).get();
    ASSERT_TRUE(r.error);
    expectCannotSign(*r.error);
    EXPECT_EQ(r.reached, Reached::No);
    EXPECT_EQ(sent(), 0u);
}

TEST_P(RequireSignature, OffSendsTheRequestUnsignedAsBefore) {
    ts::Outcomes out;
    ZRBOrvalis().getPairingIDService(keyed<ZRBPairingIDServiceRequest>(), out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(1));
    ClientConfiguration optedOut;
    optedOut.host = ts::sandboxWorld().host;
    optedOut.requireSignature = false;
    OperationResult viaClient = Client(optedOut).getPairingId(keyed<ZRBPairingIDServiceRequest>()).get();
    ASSERT_EQ(sent(), 2u);
    const auto all = ts::sandboxWorld().server->requests();
    for (std::size_t i = before_; i < all.size(); ++i)
        EXPECT_EQ(all[i].verdict, "rejected: no signature") << all[i].authorization;
    ASSERT_TRUE(out.all()[0].failure && viaClient.error);
    // The facade reports the server's refusal, as before; the client, its status.
    EXPECT_EQ(std::tuple(out.all()[0].failure->domain(), viaClient.error->domain(), viaClient.error->code()),
        std::tuple(kZRBNetworkErrorDomain, HTTPErrorDomain, 401));
}

INSTANTIATE_TEST_SUITE_P(Causes, RequireSignature,
    ::testing::Values(KeyCase{"MissingKeyFile", "absent", ts::kSandboxPassword, "file not found"},
        KeyCase{"WrongPassword", "merchant", "not the password", "wrong password or damaged file"},
        KeyCase{"NoPassword", "merchant", std::nullopt, "no password given"},
        KeyCase{"NoKeyFileName", std::nullopt, ts::kSandboxPassword, "no key named"}),
    ts::RowName());
