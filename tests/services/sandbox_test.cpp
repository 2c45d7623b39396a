// The sandbox's own checks: requests signed by the library, then replayed, unsigned or sent as another type,
// must be refused, so that the end-to-end tests can trust its verdicts.
#include <Orvalis/Foundation/Crypto/detail/OAuthCheck.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Printers.h>
#include <SandboxWorld.h>
#include <TestServer.h>
#include <gtest/gtest.h>

#include <functional>

namespace orvalis::testsupport {
namespace {

URLRequest signedGET(const std::string& userId) {
    return ZRBOAuthProvider().GETURLRequest(OAuthURLSchemeTypeHTTPS, sandboxWorld().host, "/quorvex/pairingid",
        Dictionary{{"pairingTransactionId", "t+2"}, {"userId", userId}}, kSandboxConsumerKey, "merchant",
        kSandboxPassword, OAuthSignatureTypeRSASHA1);
}
URLRequest signedPOST(const std::string& body, const std::string& type) {
    return ZRBOAuthProvider().POSTURLRequest(OAuthURLSchemeTypeHTTPS, sandboxWorld().host, "/quorvex/expresscheckout",
        kSandboxConsumerKey, "merchant", kSandboxPassword, OAuthSignatureTypeRSASHA1, body, type);
}

struct Verdict {
    const char* name;
    std::function<std::vector<URLRequest>()> requests;  // sent in turn; the last one's verdict counts
    const char* verdict;
};
class SandboxVerdict : public ::testing::TestWithParam<Verdict> {};

// Signed requests as built are accepted: see the operations' wire tests (operations_test.cpp). A request altered
// after signing meets the check checkRequestSignature runs too (test_double_test.cpp).
TEST_P(SandboxVerdict, RefusesWhatWasAlteredOrReplayed) {
    Outcome o;
    for (const URLRequest& r : GetParam().requests()) o = fetch(r);
    ASSERT_FALSE(o.error) << o.errorText();
    EXPECT_EQ(o.response->statusCode, 401);
    EXPECT_NE(o.data->find("\"errors\""), std::string::npos) << *o.data;
    EXPECT_EQ(sandboxWorld().server->requests().back().verdict, GetParam().verdict);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Rows, SandboxVerdict,
    ::testing::Values(
        Verdict{"Replayed", [] { auto r = signedGET("u"); return std::vector{r, r}; }, "rejected: nonce already used"},
        Verdict{"Unsigned",
                [] { auto r = signedGET("u"); r.setValue(std::nullopt, "Authorization"); return std::vector{r}; },
                "rejected: no Authorization header"},
        Verdict{"NotJson", [] { return std::vector{signedPOST("{}", "text/plain")}; },
                "rejected: Content-Type is not application/json"}),
    [](const auto& info) { return info.param.name; });
// clang-format on

// What each injected fault answers is checked where it is used (operation_handle_test.cpp).
TEST(Sandbox, RefusesBadFaultsAndAnswersUnknownPathsWith404) {
    for (const char* bad : {"delay:", "delay:-1", "crash", "delay:5x"}) EXPECT_FALSE(sandbox::Fault::parse(bad)) << bad;
    EXPECT_EQ(fetch(get("https://" + sandboxWorld().host + "/nowhere")).response->statusCode, 404);
}

TEST(Sandbox, AuthorizationHeaderParsing) {
    using Fields = std::map<std::string, std::string>;
    EXPECT_EQ(
        detail::parseAuthorizationHeader(R"(OAuth oauth_consumer_key="c%21",oauth_body_hash="a+b/=",oauth_nonce="1")"),
        Fields({{"oauth_consumer_key", "c%21"}, {"oauth_body_hash", "a+b/="}, {"oauth_nonce", "1"}}));
    for (const char* bad : {"Bearer x", R"(OAuth a="1" ,b="2")", R"(OAuth a="1)", R"(OAuth a="1",a="2")"})
        EXPECT_FALSE(detail::parseAuthorizationHeader(bad)) << bad;
}

}  // namespace
}  // namespace orvalis::testsupport
