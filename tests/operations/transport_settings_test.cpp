// What one client sets for its own requests: user agent, proxy, trust anchors, pins and connection
// limits; connections left idle; and a client in a forked child.
#include <MerchantClient.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <Orvalis/Version.h>
#include <Printers.h>
#include <TestServer.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>
#include <tuple>

namespace ts = orvalis::testsupport;
using namespace orvalis;
using namespace std::chrono_literals;

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

// Requests at once per client, counted by the server by user agent: "/holdN" is held until N of one client are held
// together (5 s at most), then dropped; "/meetN" the same, then answered on a kept-alive connection.
void holdAtOnce(const std::vector<std::tuple<const Client*, const char*, int>>& runs) {
    std::vector<Operation> started;
    ZRBPrecheckoutDataRequest request;
    for (const auto& [client, path, count] : runs) {
        request.setPairingId(path);
        for (int i = 0; i < count; ++i) started.push_back(client->getPrecheckoutData(request));
    }
    for (Operation& operation : started) operation.get();
}
Client agent(const std::string& name, std::optional<ConnectionLimits> limits = std::nullopt) {
    ClientConfiguration c = keyed(ts::sharedServer().host());
    c.userAgent = name, c.connectionLimits = limits;
    return Client(c);
}

// A client made later with other limits changes nothing for the first; the per-host limit binds below the total.
// Lowered limits of the shared session hold for the next requests, and the idle connections from before are closed.
TEST(ClientTransport, ConnectionLimitsBindTheirClientAndLoweredOnesReachIdleConnections) {
    ts::TestServer& server = ts::sharedServer();
    Client wide = agent("wide", ConnectionLimits{5, 10, 1}), narrow = agent("narrow", ConnectionLimits{2, 3, 1});
    holdAtOnce({{&wide, "hold5", 10}, {&narrow, "hold2", 8}});
    EXPECT_EQ(std::make_pair(server.stat("held wide"), server.stat("held narrow")), std::make_pair(5L, 2L));
    URLSessionConfiguration& shared = URLSession::sharedSession().configuration();
    ASSERT_TRUE(shared.setConnectionLimits(ConnectionLimits{6, 12, 1}));
    Client before = agent("before"), after = agent("after");
    holdAtOnce({{&before, "meet6", 6}});
    ASSERT_TRUE(shared.setConnectionLimits(ConnectionLimits{2, 12, 1}));
    // Closed at once, not by the 2 s of idle after which no connection is reused: so the wait stays below that.
    for (int i = 0; i < 150 && server.stat("open before") > 0; ++i) std::this_thread::sleep_for(10ms);
    holdAtOnce({{&after, "hold2", 6}});
    EXPECT_EQ(std::make_pair(server.stat("open before"), server.stat("held after")), std::make_pair(0L, 2L));
    ASSERT_TRUE(shared.setConnectionLimits(ConnectionLimits{}));
}

// libcurl counts idle time in whole seconds: a connection idle 2.5 s must not be taken for one idle 2 s.
TEST(ClientTransport, AConnectionIdleTwoSecondsIsNeverReused) {
    ts::TestServer& server = ts::sharedServer();
    ClientConfiguration c = keyed(server.host("idle2"));
    c.userAgent = "idle2";
    auto payment = ts::acceptable<ZRBExpressCheckoutDataRequest>();
    payment.setHost(std::nullopt);  // the client's
    Client client(c);
    ASSERT_TRUE(client.expressCheckout(payment).get().succeeded());
    const long arrived = server.stat("/quorvex/expresscheckout");
    std::this_thread::sleep_for(2500ms);  // plays the idle host
    OperationResult r = client.expressCheckout(payment).get();
    EXPECT_TRUE(r.succeeded() && r.reached == Reached::Yes) << r.error->description();  // not "late"
    EXPECT_EQ(std::make_pair(server.stat("/quorvex/expresscheckout"), server.stat("connections idle2")),
        std::make_pair(arrived + 1, 2L));
}

// A child forked while the parent has an operation in flight makes its own calls within their time-outs; the
// parent's operation completes in the parent alone, sent once.
TEST(ClientTransport, AForkedChildCallsOnItsOwnAndLeavesTheParentsOperationsAlone) {
    if (!ts::kForkWithBusyThreads) GTEST_SKIP() << "a child forked under the sanitizers may wait on their locks";
    ts::TestServer& server = ts::sharedServer();
    ClientConfiguration c = keyed(server.host());
    c.overallTimeout = std::chrono::seconds(20);
    Client client(c);
    ZRBPrecheckoutDataRequest json, drip;
    json.setPairingId("json"), drip.setPairingId("drip");
    ASSERT_TRUE(client.getPrecheckoutData(json).get().succeeded());
    const long drips = std::max(server.stat("/quorvex/precheckoutdata/drip"), 0L);
    Operation parents = client.getPrecheckoutData(drip);  // a byte every 0.1 s for 1 s: in flight at the fork
    const pid_t child = fork();
    if (child == 0) {
        alarm(30);  // a call that never ends shows as SIGALRM
        const bool none = client.inFlight() == 0;
        _exit(none && client.getPrecheckoutData(json).get().succeeded() && client.waitUntilIdle(5s) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    OperationResult r = parents.get();
    EXPECT_TRUE(r.succeeded()) << r.error->description();
    EXPECT_EQ(server.stat("/quorvex/precheckoutdata/drip"), drips + 1);
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
