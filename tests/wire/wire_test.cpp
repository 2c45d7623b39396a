// The request as it reaches the server: host, path segments, headers; and the sandbox's own checks (requests signed
// by the library, then replayed, unsigned or sent as another type, must be refused, so that the end-to-end tests can
// trust its verdicts).
#include <Orvalis/Foundation/Crypto/detail/OAuthCheck.h>
#include <Orvalis/Foundation/Transport/detail/TransferSupport.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/ServiceInfrastructure/ZRBOrvalis.h>
#include <Printers.h>
#include <SandboxWorld.h>
#include <TestServer.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

URLRequest signedGET(const Dictionary& query = {{"pairingTransactionId", "t+2"}, {"userId", "u"}}) {
    return ZRBOAuthProvider().GETURLRequest(OAuthURLSchemeTypeHTTPS, sandboxWorld().host, "/quorvex/pairingid", query,
        kSandboxConsumerKey, "merchant", kSandboxPassword, OAuthSignatureTypeRSASHA1);
}
URLRequest signedPOST(const std::string& body, const std::string& type) {
    return ZRBOAuthProvider().POSTURLRequest(OAuthURLSchemeTypeHTTPS, sandboxWorld().host, "/quorvex/expresscheckout",
        kSandboxConsumerKey, "merchant", kSandboxPassword, OAuthSignatureTypeRSASHA1, body, type);
}

std::string withPort(std::string text) {
    const std::string port = std::to_string(sandboxWorld().server->port());
    for (size_t at; (at = text.find("{port}")) != std::string::npos;) text.replace(at, 6, port);
    return text;
}

// Starts one operation, waits for its callbacks, and returns them with the
// requests the sandbox saw meanwhile.
template <class Start>
std::pair<std::vector<Outcomes::One>, std::vector<sandbox::RecordedRequest>> exchange(Start start) {
    const size_t before = sandboxWorld().server->requests().size();
    Outcomes outcomes;
    start(outcomes);
    EXPECT_TRUE(outcomes.waitFor(1) && outcomes.waitReleased());  // and no second callback can come
    auto all = sandboxWorld().server->requests();
    return {outcomes.all(), {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()}};
}

// The operation succeeded and the server saw one request, at path, whose signature it verified.
void expectAccepted(
    const std::vector<Outcomes::One>& got, const std::vector<sandbox::RecordedRequest>& seen, const std::string& path) {
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].success) << got[0].describe();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, path);
    EXPECT_TRUE(seen[0].accepted) << seen[0].verdict << "\n" << seen[0].baseString;
}

struct TargetRow {
    const char* name;
    std::string host;     // "{port}" stands for the sandbox's port
    const char* id;       // the path id of both operations
    std::int64_t code;    // 0: both operations succeed
    const char* problem;  // refused rows: words the description holds
};
TargetRow host(const char* name, std::string host, const char* problem, std::int64_t code = URLErrorBadHost) {
    return {name, std::move(host), "sbx-pairing-0001", code, problem};
}
TargetRow id(const char* name, const char* id, const char* problem = nullptr) {
    return {name, "127.0.0.1:{port}", id, problem ? std::int64_t{URLErrorBadPathSegment} : 0, problem};
}

class RequestTarget : public ::testing::TestWithParam<TargetRow> {};

// Only a plain host and port is sent; an id reaches the server as one verified segment, or either is refused.
TEST_P(RequestTarget, IsSentAsOneVerifiedHostAndSegmentOrRefused) {
    const TargetRow& row = GetParam();
    auto precheckout = credentialed<ZRBPrecheckoutDataRequest>();
    precheckout.setPairingId(row.id);
    precheckout.setHost(withPort(row.host));
    auto payment = acceptable<ZRBPaymentDataRequest>();
    payment.setTransactionId(row.id);
    payment.setHost(withPort(row.host));
    const std::pair<std::string, std::function<void(Outcomes&)>> operations[] = {
        {"/quorvex/precheckoutdata/",
            [&](Outcomes& o) { ZRBOrvalis().getPreCheckoutDataService(precheckout, o.success(), o.failure()); }},
        {"/quorvex/paymentdata/",
            [&](Outcomes& o) { ZRBOrvalis().getChekcoutResourceService(payment, o.success(), o.failure()); }},
    };
    for (const auto& [prefix, start] : operations) {
        SCOPED_TRACE(prefix);
        auto [got, seen] = exchange(start);
        if (row.code == 0) {
            expectAccepted(got, seen, prefix + row.id);
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        ASSERT_TRUE(got[0].failure) << got[0].describe();
        const Error& error = *got[0].failure;
        EXPECT_EQ(std::tuple(error.domain(), error.code()), std::tuple(std::string(URLErrorDomain), row.code)) << error;
        EXPECT_NE(got[0].thread, std::this_thread::get_id());
        EXPECT_TRUE(seen.empty()) << seen.front().target;
        if (!row.problem) continue;  // not refused here: the connection failed
        EXPECT_NE(error.localizedDescription().find(row.problem), std::string::npos) << error;
        const std::string refused = row.code == URLErrorBadHost ? withPort(row.host) : row.id;
        EXPECT_EQ(error.userInfo().objectForKey(URLErrorRefusedValueKey), Value(refused));
    }
}

INSTANTIATE_TEST_SUITE_P(Wire, RequestTarget,
    ::testing::Values(host("IPv4AndPort", "127.0.0.1:{port}", nullptr, 0),
        host("NameAndPort", "localhost:{port}", nullptr, 0),
        host("BracketedIPv6", "[::1]:{port}", nullptr, URLErrorCannotConnectToHost),
        host("Scheme", "https://127.0.0.1:{port}", "scheme"),
        host("UserInfo", "good.example@127.0.0.1:{port}", "user info"), host("Path", "127.0.0.1:{port}/evil?", "path"),
        host("Query", "127.0.0.1:{port}?x=1", "query"), host("Fragment", "host#x", "fragment"),
        host("Nul", std::string("127.0.0.1\0:{port}", 17), "control character"),
        host("LineBreak", "127.0.0.1:{port}\r\n", "white space"), host("Backslash", "127.0.0.1\\x", "backslash"),
        host("Empty", "", "empty"), host("PortZero", "127.0.0.1:0", "port"),
        host("PortTooLarge", "127.0.0.1:65536", "port"), host("PortEmpty", "localhost:", "port"),
        host("PortNotANumber", "localhost:80a", "port"), host("IPv6WithoutBrackets", "::1", "[\""),
        host("BadIPv6", "[::g]:{port}", "IPv6"), host("UnclosedBracket", "[::1:{port}", "\"[\""),
        host("ShortIPv4", "127.1:{port}", "IPv4"), host("EmptyLabel", "a..b:{port}", "empty label"),
        host("NonAsciiHost", "caf\xC3\xA9.example", "host name cannot hold"), id("Plain", "sbx-pairing-0001"),
        id("SubDelimsColonAt", "a!$&'()*+,;=:@~b"), id("DotsInside", "a..b."), id("Dot", ".", "dot segment"),
        id("DotDot", "..", "dot segment"), id("Traversal", "../../admin/x", "\"/\""), id("Question", "a?b", "query"),
        id("Hash", "a#b", "fragment"), id("Percent", "a%2Fb", "\"%\""), id("Space", "a b", "white space"),
        id("NonAsciiId", "caf\xC3\xA9", "cannot carry")),
    RowName());

// Exactly the fields the signer built, plus Accept-Encoding and what HTTP/1.1
// framing needs (Host, and Content-Length for a body); no "Accept: */*".
TEST(Wire, HeadersAreTheBuiltOnesPlusAcceptEncoding) {
    for (const bool post : {false, true}) {
        const URLRequest request = post ? signedPOST("{}", "application/json") : signedGET();
        auto [got, seen] =
            exchange([&](Outcomes& o) { ZRBNetworkManager().executeService(request, o.success(), o.failure()); });
        ASSERT_NO_FATAL_FAILURE(expectAccepted(got, seen, post ? "/quorvex/expresscheckout" : "/quorvex/pairingid"));
        std::set<std::pair<std::string, std::string>> expected{
            {"accept-encoding", "gzip, deflate"}, {"host", sandboxWorld().host}};
        if (post) expected.insert({"content-length", "2"});
        for (const auto& [name, value] : request.allHTTPHeaderFields())  // as the server library gives them
            expected.insert({detail::lowered(name), detail::percentDecode(value).value_or(value)});
        EXPECT_EQ(std::set(seen[0].headers.begin(), seen[0].headers.end()), expected);
    }
}

// Signed requests as built are accepted: see the operations' wire tests (operations_test.cpp). A request altered
// after signing meets the check checkRequestSignature runs too (operation_handle_test.cpp). The last request of each
// row is refused.
TEST(Sandbox, RefusesWhatWasReplayedUnsignedSentAsAnotherTypeOrLacksAQueryField) {
    URLRequest replayed = signedGET(), unsignedGET = signedGET();
    unsignedGET.setValue(std::nullopt, "Authorization");
    for (const auto& [requests, verdict] : {std::pair{std::vector{replayed, replayed}, "rejected: nonce already used"},
             {std::vector{unsignedGET}, "rejected: no Authorization header"},
             {std::vector{signedPOST("{}", "text/plain")}, "rejected: Content-Type is not application/json"},
             {std::vector{signedGET({{"pairingTransactionId", "t"}})}, "rejected: missing query parameter userId"}}) {
        Outcome o;
        for (const URLRequest& r : requests) o = fetch(r);
        ASSERT_FALSE(o.error) << o.errorText();
        EXPECT_EQ(o.response->statusCode, 401);
        EXPECT_NE(o.data->find("\"errors\""), std::string::npos) << *o.data;
        EXPECT_EQ(sandboxWorld().server->requests().back().verdict, verdict);
    }
}

// What each injected fault answers is checked where it is used (operation_handle_test.cpp).
TEST(Sandbox, RefusesBadFaultsAndAnswersUnknownPathsWith404) {
    for (const char* bad : {"delay:", "delay:-1", "crash", "delay:5x"}) EXPECT_FALSE(sandbox::Fault::parse(bad)) << bad;
    EXPECT_EQ(fetch(get("https://" + sandboxWorld().host + "/nowhere")).response->statusCode, 404);
}

// Values are kept as sent, still percent-encoded: the check decodes each where it reads it.
TEST(Sandbox, AuthorizationHeadersAreReadAsSentOrRefused) {
    EXPECT_EQ(detail::parseAuthorizationHeader(R"(OAuth a="c%21",b="2")"),
        (std::map<std::string, std::string>{{"a", "c%21"}, {"b", "2"}}));
    for (const char* bad : {"Bearer x", R"(OAuth a="1" ,b="2")", R"(OAuth a="1)", R"(OAuth a="1",a="2")"})
        EXPECT_FALSE(detail::parseAuthorizationHeader(bad)) << bad;
}

}  // namespace
