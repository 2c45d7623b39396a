// Safe retries, attempt timings, correlation ids and the observer, end to end:
// the sandbox verifies every attempt's signature, the test server misbehaves on
// cue (an operation's last path segment names its fault).
#include <MerchantClient.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <TestServer.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <iterator>
#include <mutex>

using namespace orvalis;
namespace ts = orvalis::testsupport;
using namespace std::chrono_literals;

namespace {

ClientConfiguration configured(std::string host) {
    ClientConfiguration c = ts::merchantConfiguration(std::move(host));
    ts::sharedServer();  // trusted after the session's first connections (to the sandbox): still seen
    return c;
}

ZRBPrecheckoutDataRequest read(const char* fault) {
    ZRBPrecheckoutDataRequest r;
    r.setPairingId(fault);
    return r;
}

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
// the server saw last.
TEST(Retries, AReadAfterABusyAnswerIsSignedAfreshAndKeepsTheStoryOfEachAttempt) {
    auto& world = ts::sandboxWorld();
    world.server->setFault("initializepairing", *sandbox::Fault::parse("unavailable:1"));
    Events events;
    ClientConfiguration c = configured(world.host);
    c.observer = events.observer();
    auto request = ts::acceptable<ZRBInitializePairingRequest>();
    request.setCheckoutID("chk-retry");
    OperationResult r = Client(c).initializePairing(request).get();
    ASSERT_TRUE(r.succeeded()) << r.error->description();
    ASSERT_EQ(r.attempts.size(), 2u);
    EXPECT_EQ(r.attempts[0].statusCode, 503);
    EXPECT_GE(r.attempts[1].startedAfter - r.attempts[0].startedAfter, 950ms);  // "Retry-After: 1"
    std::vector<sandbox::RecordedRequest> seen;
    std::ranges::copy_if(world.server->requests(), std::back_inserter(seen),
        [](const auto& q) { return q.query.find("chk-retry") != std::string::npos; });
    ASSERT_EQ(seen.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(seen[i].accepted) << seen[i].verdict;
        EXPECT_EQ(
            (*detail::parseAuthorizationHeader(seen[i].authorization))["oauth_nonce"], r.attempts[i].correlationId);
        EXPECT_GT(r.attempts[i].timings.total.count(), 0);  // the session's; their order: url_session_test
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

TEST(Retries, ACancelDuringThePauseEndsTheOperationAtOnce) {
    Events events;
    ClientConfiguration c = configured(ts::sharedServer().host());
    c.observer = events.observer();
    Operation op = Client(c).getPrecheckoutData(read("busy30"));
    ASSERT_EQ(events.paused.get_future().wait_for(30s), std::future_status::ready);
    EXPECT_TRUE(op.cancel());
    ASSERT_EQ(op.wait_for(10s), std::future_status::ready);  // not the 30 s the server asked for
    OperationResult r = op.get();
    ASSERT_TRUE(r.error);
    EXPECT_EQ(std::tuple(r.error->code(), r.attempts.size()), std::tuple(URLErrorCancelled, 1u));
}

TEST(Retries, APolicyOutOfRangeIsRefused) {
    ClientConfiguration c = configured(ts::sharedServer().host());
    const Client good(c);  // whose calls may not ask for such attempts either
    for (RetryPolicy bad : {RetryPolicy{11}, RetryPolicy{-1}, RetryPolicy{3, -1ms}, RetryPolicy{3, 500ms, 100ms}}) {
        c.retry = bad;
        EXPECT_THROW(Client{c}, std::invalid_argument);
        if (bad.maxAttempts != 3) {
            EXPECT_THROW(good.getPrecheckoutData(read("json"), {{}, {}, bad.maxAttempts}), std::invalid_argument);
        }
    }
}

}  // namespace
