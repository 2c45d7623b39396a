// What one client sets for its own requests: user agent, proxy, trust anchors and pins; and the
// connection limits it sets for the process.
#include <MerchantClient.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/Version.h>
#include <Printers.h>
#include <TestServer.h>
#include <curl/curl.h>
#include <gtest/gtest.h>

namespace ts = orvalis::testsupport;
using namespace orvalis;

namespace {

ClientConfiguration keyed(std::string host) {
    ClientConfiguration c = ts::merchantConfiguration(std::move(host));
    c.retry.maxAttempts = 1;
    return c;
}

// The test server's "/headers" answer (the request's header fields) through a client made of c.
OperationResult headers(const ClientConfiguration& c) {
    ZRBPrecheckoutDataRequest request;
    request.setPairingId("headers");
    return Client(c).getPrecheckoutData(request).get();
}

}  // namespace

TEST(ClientTransport, UserAgentNamesTheLibraryUnlessTheClientNamesItself) {
    const std::string host = ts::sharedServer().host();
    OperationResult byDefault = headers(keyed(host));
    ASSERT_TRUE(byDefault.succeeded()) << byDefault.error->description();
    EXPECT_EQ((*byDefault.answer)["user-agent"], Value(std::string("Orvalis/" ORVALIS_VERSION_STRING " libcurl/") +
                                                       curl_version_info(CURLVERSION_NOW)->version));
    ClientConfiguration own = keyed(host);
    own.userAgent = "Shop/2.1 (till 4)";
    EXPECT_EQ(headers(own).answer.value_or(Dictionary())["user-agent"], Value("Shop/2.1 (till 4)"));
    own.userAgent = "Shop\r\nX-Injected: 1";
    EXPECT_THROW(Client{own}, std::invalid_argument);
}

// Through the client's proxy when it is up; named in the failure when it is not, or refuses.
TEST(ClientTransport, TheProxyIsUsedAndNamedWhenItFails) {
    ts::TestServer& server = ts::sharedServer();
    const std::string proxy = server.url("", "proxy");
    const long tunnels = std::max(server.stat("tunnels"), 0L);
    ClientConfiguration c = keyed(server.host());
    c.proxy = proxy;
    OperationResult through = headers(c);
    ASSERT_TRUE(through.succeeded()) << through.error->description();
    EXPECT_EQ(server.stat("tunnels"), tunnels + 1);

    struct Case {
        std::string proxy, host, says;
    } cases[] = {
        {"http://127.0.0.1:" + server.host("closed").substr(10), server.host(), "the proxy http://127.0.0.1:"},
        {"http://user:secret@" + proxy.substr(7), "localhost:" + server.host().substr(10),
            "the proxy " + proxy + " answered 403"},
    };
    for (const Case& k : cases) {
        c.host = k.host;
        c.proxy = k.proxy;
        OperationResult r = headers(c);
        ASSERT_TRUE(r.error) << k.proxy;
        EXPECT_NE(r.error->description().find(k.says), std::string::npos) << r.error->description();
        EXPECT_EQ(r.error->description().find("secret"), std::string::npos) << r.error->description();
    }
}

// Two clients trusting different private CAs each reach only their own server; a pin of one
// client holds for it alone.
TEST(ClientTransport, AnchorsAndPinsBelongToTheirClient) {
    ts::TestServer a, b;
    ClientConfiguration trustsA = keyed(""), trustsB = keyed("");
    trustsA.trustedCertificateFiles = {a.caFile()};
    trustsB.trustedCertificateFiles = {b.caFile()};
    ClientConfiguration pinnedToB = trustsA;
    pinnedToB.pinnedPublicKeys = {{"127.0.0.1", b.goodPin()}};
    struct Case {
        const ClientConfiguration* client;
        const ts::TestServer* server;
        long code;  // 0: success
    } cases[] = {{&trustsA, &a, 0}, {&trustsA, &b, URLErrorServerCertificateUntrusted}, {&trustsB, &b, 0},
        {&trustsB, &a, URLErrorServerCertificateUntrusted}, {&pinnedToB, &a, URLErrorServerPublicKeyPinMismatch},
        {&trustsA, &a, 0}};
    for (const Case& k : cases) {
        ClientConfiguration c = *k.client;
        c.host = k.server->host();
        OperationResult r = headers(c);
        EXPECT_EQ(r.error ? r.error->code() : 0, k.code) << (r.error ? r.error->description() : "") << " " << *c.host;
    }
    ClientConfiguration unreadable = keyed("");
    unreadable.trustedCertificateFiles = {a.caFile() + ".missing"};
    EXPECT_THROW(Client{unreadable}, std::invalid_argument);
}

// Over HTTP/1.1 a limit of 2 connections keeps the server at 2 requests at once: the "/hold2"
// answer waits until two are held together, so a third connection would be seen with them.
TEST(ClientTransport, ConnectionLimitsBoundWhatTheServerSeesAtOnce) {
    ts::TestServer& server = ts::sharedServer();
    ClientConfiguration c = keyed(server.host());
    c.connectionLimits = ConnectionLimits{2, 2, 1};
    Client client(c);
    std::vector<Operation> held;
    ZRBPrecheckoutDataRequest request;
    request.setPairingId("hold2");
    for (int i = 0; i < 6; ++i) held.push_back(client.getPrecheckoutData(request));
    for (Operation& operation : held) EXPECT_FALSE(operation.get().succeeded());
    EXPECT_EQ(server.stat("held"), 2);
    ASSERT_TRUE(URLSession::sharedSession().configuration().setConnectionLimits(ConnectionLimits{}));
}

TEST(ClientTransport, ConnectionLimitsOutOfRangeAreRefused) {
    for (const ConnectionLimits& bad : {ConnectionLimits{0, 128, 100}, ConnectionLimits{3, 2, 100},
             ConnectionLimits{32, 70000, 100}, ConnectionLimits{32, 128, 0}, ConnectionLimits{-1, 128, 100}}) {
        ClientConfiguration c = keyed("127.0.0.1");
        c.connectionLimits = bad;
        EXPECT_THROW(Client{c}, std::invalid_argument) << bad.maxConnectionsPerHost << " " << bad.maxConnections;
        EXPECT_FALSE(URLSession::sharedSession().configuration().setConnectionLimits(bad));
    }
}
