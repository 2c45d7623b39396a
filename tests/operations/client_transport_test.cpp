// A Client against the test server, which misbehaves on cue (an operation's last path segment names its fault),
// and the sandbox, which verifies every attempt's signature: safe retries, attempt timings, correlation ids and
// the observer; what one client sets for its own requests (user agent, proxy, trust anchors, pins and connection
// limits); connections left idle; and a client in a forked child.
#include <MerchantClient.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Orvalis/Version.h>
#include <Printers.h>
#include <TestServer.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

using namespace orvalis;
namespace ts = orvalis::testsupport;
using namespace std::chrono_literals;

namespace {

// Signs with the merchant key for host, in one attempt unless asked for more. The test server is made (and its CA
// trusted) after the session's first connections, to the sandbox: still seen.
ClientConfiguration configured(std::string host, int attempts = 1) {
    ClientConfiguration c = ts::merchantConfiguration(std::move(host));
    ts::sharedServer();
    c.retry.maxAttempts = attempts;
    return c;
}

ZRBPrecheckoutDataRequest read(const char* fault) {
    ZRBPrecheckoutDataRequest r;
    r.setPairingId(fault);
    return r;
}

// The test server's "/headers" answer (the request's header fields) through a client made of c.
OperationResult headers(const ClientConfiguration& c) { return Client(c).getPrecheckoutData(read("headers")).get(); }

struct Events {
    std::mutex m;
    std::vector<std::string> seen;
    std::promise<void> paused;
    bool signalled = false;
    OperationObserver observer() {
        return [this](const OperationEvent& e) {
            std::lock_guard lock(m);
            const char* kinds[] = {"started", "attempt", "completed"};
            seen.push_back(std::string(kinds[static_cast<int>(e.kind)]) + (e.retryIn ? "+retry" : ""));
            if (e.retryIn && !signalled) signalled = true, paused.set_value();
            if (e.kind == OperationEventKind::Completed) throw 42;  // contained
        };
    }
};

// A read that met a busy server comes back after the pause the server asked for; each attempt is
// signed afresh and verifies (a nonce used twice would not); the result's correlation id is the nonce
// the server saw last. A cancel during a pause (the test server asks for 30 s) ends the operation at once.
TEST(Retries, AReadAfterABusyAnswerIsSignedAfreshAndKeepsTheStoryOfEachAttemptUnlessCancelledInThePause) {
    Events pausing;
    ClientConfiguration slow = configured(ts::sharedServer().host(), 3);
    slow.observer = pausing.observer();
    Operation cancelled = Client(slow).getPrecheckoutData(read("busy30"));
    ASSERT_EQ(pausing.paused.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(cancelled.cancel());
    ASSERT_EQ(cancelled.wait_for(10s), std::future_status::ready);
    ASSERT_TRUE(cancelled.get().error);
    EXPECT_EQ(
        std::tuple(cancelled.get().error->code(), cancelled.get().attempts.size()), std::tuple(URLErrorCancelled, 1u));
    auto& world = ts::sandboxWorld();
    world.server->setFault("initializepairing", *sandbox::Fault::parse("unavailable:1"));
    Events events;
    ClientConfiguration c = configured(world.host, 3);
    c.observer = events.observer();
    auto request = ts::acceptable<ZRBInitializePairingRequest>();
    request.setCheckoutID("chk-retry");
    OperationResult r = Client(c).initializePairing(request).get();
    ASSERT_TRUE(r.succeeded()) << r.error->description();
    ASSERT_EQ(r.attempts.size(), 2u);
    EXPECT_EQ(r.attempts[0].statusCode, 503);
    EXPECT_GE(r.attempts[1].startedAfter - r.attempts[0].startedAfter, 950ms);  // "Retry-After: 1"
    std::vector<sandbox::RecordedRequest> seen = world.server->requests();
    std::erase_if(seen, [](const auto& q) { return q.query.find("chk-retry") == std::string::npos; });
    ASSERT_EQ(seen.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(seen[i].accepted) << seen[i].verdict;
        EXPECT_EQ(
            (*detail::parseAuthorizationHeader(seen[i].authorization))["oauth_nonce"], r.attempts[i].correlationId);
        // The phases of each attempt, as the session measured them, never decrease.
        const URLSessionTaskMetrics& m = r.attempts[i].timings;
        EXPECT_TRUE(m.nameLookup <= m.connect && m.connect <= m.secureConnection && m.secureConnection <= m.firstByte &&
                    m.firstByte <= m.total && m.total.count() > 0);
    }
    EXPECT_EQ(r.correlationId, r.attempts[1].correlationId);
    std::lock_guard lock(events.m);
    EXPECT_EQ(events.seen, (std::vector<std::string>{"started", "attempt+retry", "attempt", "completed"}));
}

struct Row {
    const char* name;
    std::string port;   // of the test server, or "sandbox"
    const char* fault;  // the read's path id on the test server; a sandbox fault for the payment
    bool isPayment;     // an empty payment: its fields play no part in the rules
    int maxAttempts;
    std::optional<std::chrono::milliseconds> idle, overall;
    size_t attempts;
    long code;
    Reached reached;
};

class RetryRules : public testing::TestWithParam<Row> {};

TEST_P(RetryRules, OnlyWhatIsSafeGoesAgainAndNeverPastTheDeadline) {
    const Row& row = GetParam();
    const bool sandbox = row.port == "sandbox";
    std::string host = sandbox ? ts::sandboxWorld().host : ts::sharedServer().host(row.port);
    if (sandbox) ts::sandboxWorld().server->setFault("expresscheckout", *sandbox::Fault::parse(row.fault));
    ClientConfiguration c = configured(host);
    c.retry.initialBackoff = 50ms;
    // What the test server counts: requests of the path, or connections reset in the TLS handshake.
    const std::string counter =
        row.port == "tlsreset" ? std::string("tlsresets") : "/quorvex/precheckoutdata/" + std::string(row.fault);
    const long before = sandbox ? 0 : ts::sharedServer().stat(counter);
    OperationOptions options{row.idle, row.overall, row.maxAttempts};
    OperationResult r = row.isPayment ? Client(c).expressCheckout({}, options).get()
                                      : Client(c).getPrecheckoutData(read(row.fault), options).get();
    ASSERT_TRUE(r.error);
    EXPECT_EQ(std::tuple(r.error->code(), r.reached), std::tuple(row.code, row.reached)) << r.error->description();
    ASSERT_EQ(r.attempts.size(), row.attempts);
    EXPECT_EQ(r.attempts.back().error->code(), row.code);
    if (!sandbox && row.port != "closed" && row.port != "self") {
        EXPECT_EQ(ts::sharedServer().stat(counter) - std::max(before, 0L), static_cast<long>(row.attempts));
    }
}

constexpr std::nullopt_t none = std::nullopt;
INSTANTIATE_TEST_SUITE_P(Operations, RetryRules,
    testing::Values(Row{"ReadAfterConnectionDropped", "good", "drop", false, 3, none, none, 3,
                        URLErrorNetworkConnectionLost, Reached::Maybe},
        Row{"ReadTimedOutAfterItsAnswerBegan", "good", "stall", false, 2, 300ms, none, 2, URLErrorTimedOut,
            Reached::Yes},
        Row{"PaymentRefusedBeforeSending", "closed", "refused", true, 3, none, none, 3, URLErrorCannotConnectToHost,
            Reached::No},
        Row{"PaymentResetInTheTlsHandshakeWasNeverSent", "tlsreset", "reset", true, 3, none, none, 3,
            URLErrorSecureConnectionFailed, Reached::No},
        Row{"PaymentToAnUntrustedServerIsFinal", "self", "json", true, 3, none, none, 1,
            URLErrorServerCertificateUntrusted, Reached::No},
        Row{"PaymentTimedOutAfterSending", "sandbox", "delay:1500", true, 3, 300ms, none, 1, URLErrorTimedOut,
            Reached::Maybe},
        Row{"PaymentPastItsOverallTimeOut", "sandbox", "delay:1500", true, 3, none, 300ms, 1, URLErrorTimedOut,
            Reached::Maybe}),
    ts::RowName());

// Retry policies and connection limits out of range are refused, by the client and by the shared session.
TEST(Retries, APolicyOrConnectionLimitsOutOfRangeAreRefused) {
    ClientConfiguration c = configured(ts::sharedServer().host());
    const Client good(c);  // whose calls may not ask for such attempts either
    for (RetryPolicy bad : {RetryPolicy{11}, RetryPolicy{-1}, RetryPolicy{3, -1ms}, RetryPolicy{3, 500ms, 100ms}}) {
        c.retry = bad;
        EXPECT_THROW(Client{c}, std::invalid_argument);
        if (bad.maxAttempts != 3) {
            EXPECT_THROW(good.getPrecheckoutData(read("json"), {{}, {}, bad.maxAttempts}), std::invalid_argument);
        }
    }
    c.retry = RetryPolicy{};
    for (const ConnectionLimits& bad : {ConnectionLimits{0, 128, 100}, ConnectionLimits{3, 2, 100},
             ConnectionLimits{32, 70000, 100}, ConnectionLimits{32, 128, 0}, ConnectionLimits{-1, 128, 100}}) {
        c.connectionLimits = bad;
        EXPECT_THROW(Client{c}, std::invalid_argument) << bad.maxConnectionsPerHost << " " << bad.maxConnections;
        EXPECT_FALSE(URLSession::sharedSession().configuration().setConnectionLimits(bad));
    }
}

// The user agent names the library unless the client names itself. Through the client's proxy when it is up;
// named in the failure when it is not, or refuses.
TEST(ClientTransport, UserAgentAndProxyAreTheClientsOwn) {
    ts::TestServer& server = ts::sharedServer();
    OperationResult byDefault = headers(configured(server.host()));
    ASSERT_TRUE(byDefault.succeeded()) << byDefault.error->description();
    EXPECT_EQ((*byDefault.answer)["user-agent"], Value(std::string("Orvalis/" ORVALIS_VERSION_STRING " libcurl/") +
                                                       curl_version_info(CURLVERSION_NOW)->version));
    const std::string proxy = server.url("", "proxy");
    const long tunnels = std::max(server.stat("tunnels"), 0L);
    ClientConfiguration c = configured(server.host());
    c.proxy = proxy;
    c.userAgent = "Shop/2.1 (till 4)";
    OperationResult through = headers(c);
    ASSERT_TRUE(through.succeeded()) << through.error->description();
    EXPECT_EQ(std::pair(server.stat("tunnels"), (*through.answer)["user-agent"]),
        std::pair(tunnels + 1, Value("Shop/2.1 (till 4)")));
    // A proxy that is down, and one that refuses: what the failure says.
    for (const auto& [viaProxy, host, says] :
        {std::tuple<std::string, std::string, std::string>{
             "http://127.0.0.1:" + server.host("closed").substr(10), server.host(), "the proxy http://127.0.0.1:"},
            {"http://user:secret@" + proxy.substr(7), "localhost:" + server.host().substr(10),
                "the proxy " + proxy + " answered 403"}}) {
        c.host = host;
        c.proxy = viaProxy;
        OperationResult r = headers(c);
        ASSERT_TRUE(r.error) << viaProxy;
        EXPECT_NE(r.error->description().find(says), std::string::npos) << r.error->description();
        EXPECT_EQ(r.error->description().find("secret"), std::string::npos) << r.error->description();
    }
    c.userAgent = "Shop\r\nX-Injected: 1";
    EXPECT_THROW(Client{c}, std::invalid_argument);
}

// Two clients trusting different private CAs each reach only their own server; a pin of one
// client holds for it alone.
TEST(ClientTransport, AnchorsAndPinsBelongToTheirClient) {
    ts::TestServer a, b;
    ClientConfiguration trustsA = configured(""), trustsB = configured("");
    trustsA.trustedCertificateFiles = {a.caFile()};
    trustsB.trustedCertificateFiles = {b.caFile()};
    ClientConfiguration pinnedToB = trustsA;
    pinnedToB.pinnedPublicKeys = {{"127.0.0.1", b.goodPin()}};
    // Which client asks which server, and the failure it meets (0: none).
    for (const auto& [client, server, code] :
        {std::tuple<const ClientConfiguration*, const ts::TestServer*, long>{&trustsA, &a, 0},
            {&trustsA, &b, URLErrorServerCertificateUntrusted}, {&trustsB, &b, 0},
            {&trustsB, &a, URLErrorServerCertificateUntrusted}, {&pinnedToB, &a, URLErrorServerPublicKeyPinMismatch},
            {&trustsA, &a, 0}}) {
        ClientConfiguration c = *client;
        c.host = server->host();
        OperationResult r = headers(c);
        EXPECT_EQ(r.error ? r.error->code() : 0, code) << (r.error ? r.error->description() : "") << " " << *c.host;
    }
    ClientConfiguration unreadable = configured("");
    unreadable.trustedCertificateFiles = {a.caFile() + ".missing"};
    EXPECT_THROW(Client{unreadable}, std::invalid_argument);
}

// Requests at once per client, counted by the server by user agent: "/holdN" is held until N of one client are held
// together (5 s at most), then dropped; "/meetN" the same, then answered on a kept-alive connection.
void holdAtOnce(const std::vector<std::tuple<const Client*, const char*, int>>& runs) {
    std::vector<Operation> started;
    for (const auto& [client, path, count] : runs) {
        for (int i = 0; i < count; ++i) started.push_back(client->getPrecheckoutData(read(path)));
    }
    for (Operation& operation : started) operation.get();
}
Client agent(const std::string& name, std::optional<ConnectionLimits> limits = std::nullopt) {
    ClientConfiguration c = configured(ts::sharedServer().host());
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
    ClientConfiguration c = configured(server.host("idle2"));
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
    ClientConfiguration c = configured(server.host());
    c.overallTimeout = std::chrono::seconds(20);
    Client client(c);
    const ZRBPrecheckoutDataRequest json = read("json"), drip = read("drip");
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

}  // namespace
