// requireSignature: a request that could not be signed is refused locally,
// once, on the delivery thread, and never reaches the server; off, it goes
// out unsigned as before.
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <SandboxWorld.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

struct KeyCase {
    const char* name;
    std::optional<std::string> keyFile;
    std::optional<std::string> password;
};
void PrintTo(const KeyCase& row, std::ostream* out) { *out << row.name; }

class RequireSignature : public ::testing::TestWithParam<KeyCase> {
protected:
    void SetUp() override { before_ = ts::sandboxWorld().server->requests().size(); }
    std::size_t sent() const { return ts::sandboxWorld().server->requests().size() - before_; }

    // A request of type R with the row's key file and password.
    template <class R>
    R keyed() const {
        auto request = ts::credentialed<R>();
        request.setMerechantKeyFileName(GetParam().keyFile);
        request.setMerechantKeyFilePassword(GetParam().password);
        return request;
    }
    std::size_t before_ = 0;
};

// A pairing-ID request that the sandbox accepts once it is signed.
ZRBPairingIDServiceRequest pairing(ZRBPairingIDServiceRequest request) {
    request.setPairingTransactionId("tx");
    request.setUserId("user");
    return request;
}

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
    orvalis.getPairingIDService(pairing(ts::credentialed<ZRBPairingIDServiceRequest>()), out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(7));
    auto all = out.all();
    for (const auto& one : all) {
        if (one.success) continue;
        EXPECT_EQ(one.failure->domain(), URLErrorDomain);
        EXPECT_EQ(one.failure->code(), -1231) << one.describe();
        EXPECT_NE(one.failure->localizedDescription().find(GetParam().keyFile.value_or("no key file name")),
                  std::string::npos)
            << one.describe();
        EXPECT_NE(one.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const auto& one) { return one.failure.has_value(); }), 6);
    ASSERT_EQ(sent(), 1u);  // only the signed one
    EXPECT_TRUE(ts::sandboxWorld().server->requests().back().accepted);
}

TEST_P(RequireSignature, OffSendsTheRequestUnsignedAsBefore) {
    ts::Outcomes out;
    ZRBOrvalis().getPairingIDService(pairing(keyed<ZRBPairingIDServiceRequest>()), out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(1));
    ASSERT_EQ(sent(), 1u);
    const auto seen = ts::sandboxWorld().server->requests().back();
    EXPECT_NE(seen.authorization.find("oauth_signature=\"\""), std::string::npos) << seen.authorization;
    EXPECT_EQ(seen.verdict, "rejected: no signature");
    ASSERT_TRUE(out.all()[0].failure);
    EXPECT_EQ(out.all()[0].failure->domain(), kZRBNetworkErrorDomain);  // the server's refusal, as before
}

INSTANTIATE_TEST_SUITE_P(Causes, RequireSignature,
                         ::testing::Values(KeyCase{"MissingKeyFile", "absent", ts::kSandboxPassword},
                                           KeyCase{"WrongPassword", "merchant", "not the password"},
                                           KeyCase{"NoPassword", "merchant", std::nullopt},
                                           KeyCase{"NoKeyFileName", std::nullopt, ts::kSandboxPassword}),
                         [](const auto& info) { return std::string(info.param.name); });
