// Operation handles: the same outcomes as the callback API, the whole failure, cancellation at any moment,
// time-outs and waiting for shutdown. And the test double for hosts: a Client answered in-process builds and signs
// the real requests, and checkRequestSignature tells a genuine request from a tampered one.
#include <MerchantClient.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <WideAnswer.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

using namespace orvalis;
namespace ts = orvalis::testsupport;
using namespace std::chrono_literals;

namespace {

template <class R = ZRBInitializePairingRequest>
R initRequest(R r = {}) {
    r.setCheckoutID("chk-1");
    r.setUserId("user-42");
    return r;
}

// A fault of the sandbox, or "<status> <body>": that JSON body under that status.
void setFault(const char* fault) {
    ts::sandboxWorld().server->setFault("initializepairing",
        std::isdigit(static_cast<unsigned char>(*fault))
            ? sandbox::Fault{sandbox::Fault::Kind::Body, 0, std::atoi(fault), fault + 4, "application/json", ""}
            : *sandbox::Fault::parse(fault));
}
const std::string kWide = "200 " + ts::wideAnswer(100'000);

// The smallest coroutine: starts at once, nobody awaits it. An exception that leaves a Detached one
// ends the process; one that leaves a Rethrowing one goes out through whoever resumed it (here: the
// library), its frame then staying at its final suspension point, for the test to destroy.
template <bool kRethrow>
struct Coroutine {
    struct promise_type {
        Coroutine get_return_object() { return {std::coroutine_handle<promise_type>::from_promise(*this)}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() {
            if constexpr (kRethrow) throw;
            std::terminate();
        }
    };
    std::coroutine_handle<promise_type> frame;
};
using Detached = Coroutine<false>;
using Rethrowing = Coroutine<true>;

thread_local bool inExecutor = false;

// Awaits op in a coroutine; its result, and whether the coroutine resumed inside the client's executor.
std::pair<OperationResult, bool> awaited(const Operation& op) {
    auto out = std::make_shared<std::promise<std::pair<OperationResult, bool>>>();
    [](Operation o, std::shared_ptr<std::promise<std::pair<OperationResult, bool>>> p) -> Detached {
        OperationResult r = co_await o;
        p->set_value({std::move(r), inExecutor});
    }(op, out);
    auto f = out->get_future();
    if (f.wait_for(60s) != std::future_status::ready) throw std::runtime_error("the coroutine was never resumed");
    return f.get();
}

struct Row {
    const char* name;
    const char* fault;
    bool refused;
    long status;
    Reached reached;
    const char* reasonKey;  // where the server entry keeps its reason code, or nullptr for no entry
};

class SameOutcomes : public testing::TestWithParam<Row> {};

TEST_P(SameOutcomes, AsTheCallbackApiWithTheWholeFailure) {
    const Row& row = GetParam();
    setFault(row.fault);
    ClientConfiguration c = ts::merchantConfiguration();
    if (row.refused) c.host = "127.0.0.1:1";  // a privileged port nothing listens on
    c.executor = [](std::function<void()> task) {
        inExecutor = true;
        task();
        inExecutor = false;
    };
    Client client(c);
    ts::Outcomes callbacks;
    auto request = initRequest(ts::credentialed<ZRBInitializePairingRequest>());
    request.setHost(c.host);
    ZRBOrvalis().initializePairing(request, callbacks.success(), callbacks.failure());
    ASSERT_TRUE(callbacks.waitFor(1));
    const auto expected = callbacks.all().front();
    // Side by side: the facade decodes an answer outside 2xx like any other; the Client fails with the status.
    const bool httpFailure = row.status / 100 != 2 && row.reached == Reached::Yes;
    if (httpFailure) { EXPECT_EQ(expected.success.has_value(), row.reasonKey == nullptr && *row.fault == '5'); }
    // Through get() and co_await, the latter once completed and while running: resumed on the client's executor.
    Operation done = client.initializePairing(initRequest());
    done.wait();
    const auto running = awaited(client.initializePairing(initRequest())), completed = awaited(done);
    EXPECT_TRUE(running.second && completed.second);
    for (const OperationResult& r : {done.get(), running.first, completed.first}) {
        ASSERT_EQ(r.succeeded(), expected.success.has_value() && !httpFailure) << expected.describe();
        EXPECT_EQ(r.body.has_value(), r.error && row.reached == Reached::Yes);
        if (httpFailure) {
            EXPECT_EQ(std::tuple(r.error->domain(), r.error->code()), std::tuple(HTTPErrorDomain, row.status));
            EXPECT_EQ(*r.body, std::isdigit(static_cast<unsigned char>(*row.fault)) ? std::string(row.fault + 4) : "");
        } else if (expected.success) {
            EXPECT_EQ(*r.answer, *expected.success);
        } else {
            EXPECT_EQ(std::tuple(r.error->domain(), r.error->code()),
                std::tuple(expected.failure->domain(), expected.failure->code()));
            if (!row.refused) { EXPECT_EQ(r.error->description(), expected.failure->description()); }
        }
        const bool reached = row.reached == Reached::Yes;
        const bool withLength = r.response && r.response->valueForHTTPHeaderField("Content-Length");
        EXPECT_EQ(std::tuple(r.statusCode(), r.reached, r.response.has_value(), withLength),
            std::tuple(row.status, row.reached, reached, reached))
            << (r.error ? r.error->description() : "");
        ASSERT_EQ(r.serverErrorEntry.has_value(), row.reasonKey != nullptr);
        if (row.reasonKey) {
            EXPECT_EQ(XMLTree::stringValueForKeyPath(*r.serverErrorEntry, row.reasonKey), Value("SYSTEM_ERROR"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, SameOutcomes,
    testing::Values(Row{"Answer", "none", false, 200, Reached::Yes, nullptr},
        Row{"JsonErrors", "errors", false, 200, Reached::Yes, "reasonCode"},
        Row{"XmlError", "xml-error", false, 200, Reached::Yes, "ReasonCode"},
        Row{"Http500EmptyBody", "http500", false, 500, Reached::Yes, nullptr},
        Row{"Http500JsonWithoutErrors", R"(500 {"message":"internal error"})", false, 500, Reached::Yes, nullptr},
        Row{"Http401JsonWithErrors", R"(401 {"errors":[{"reasonCode":"SYSTEM_ERROR"}]})", false, 401, Reached::Yes,
            "reasonCode"},
        Row{"ConnectionRefused", "none", true, 0, Reached::No, nullptr},
        Row{"HundredThousandShortMembers", kWide.c_str(), false, 200, Reached::Yes, nullptr}),
    ts::RowName());

Detached twoInARow(const Client& client, std::atomic<int>* finished) {
    co_await client.initializePairing(initRequest());
    co_await client.initializePairing(initRequest());
    finished->fetch_add(1);
}

// waitUntilIdle() waits for the last operation and its continuations; cancelAll() then ends every operation
// in flight cancelled and leaves completed ones alone, also one still being signed (here: from its key callback),
// which it keeps from going out.
TEST(Shutdown, WaitUntilIdleWaitsForContinuationsAndCancelAllEndsOnlyWhatIsInFlight) {
    setFault("delay:300");
    const std::string p12 = ts::sandboxWorld().file("merchant.p12");
    std::atomic<const Client*> cancelling{nullptr};
    ClientConfiguration c = ts::merchantConfiguration();
    c.keySource = KeySource::callback([&]() -> std::optional<std::string> {
        if (const Client* self = cancelling.load()) self->cancelAll();
        return p12;
    });
    c.keyFileName.reset();
    Client client(c);
    std::atomic<int> finished{0};
    twoInARow(client, &finished);
    const Operation single = client.initializePairing(initRequest());
    EXPECT_FALSE(client.waitUntilIdle(50ms));
    ASSERT_TRUE(client.waitUntilIdle(60s));
    EXPECT_TRUE(finished.load() == 1 && single.isDone() && client.inFlight() == 0u);
    setFault("delay:2000");
    std::vector<Operation> slow;
    for (int i = 0; i < 8; ++i) slow.push_back(client.initializePairing(initRequest()));
    client.cancelAll();
    for (const Operation& op : slow) {
        OperationResult r = op.future().get();
        ASSERT_FALSE(r.succeeded());
        EXPECT_TRUE(r.error->code() == URLErrorCancelled && r.reached != Reached::Yes) << r.error->description();
    }
    EXPECT_TRUE(single.get().succeeded());
    EXPECT_TRUE(client.waitUntilIdle(60s));
    cancelling = &client;
    OperationResult r = client.initializePairing(initRequest()).get();
    ASSERT_TRUE(r.error);
    EXPECT_TRUE(r.error->code() == URLErrorCancelled && r.reached == Reached::No) << r.error->description();
}

// While the observer is told of the result (held here until the test has asked), the result is decided:
// a cancel() that changes nothing says so, and isDone() agrees with it.
TEST(Cancellation, ACancelThatFindsTheResultDecidedFindsItDone) {
    setFault("none");
    std::promise<void> told, release;
    std::shared_future<void> released = release.get_future().share();
    ClientConfiguration c = ts::merchantConfiguration();
    c.observer = [&told, released](const OperationEvent& e) {
        if (e.kind != OperationEventKind::Completed) return;
        told.set_value();
        released.wait();
    };
    Operation op = Client(c).initializePairing(initRequest());
    told.get_future().wait();
    EXPECT_FALSE(op.cancel());
    EXPECT_TRUE(op.isDone());
    release.set_value();
    // And a moved-from handle stays safe to ask.
    Operation moved = std::move(op);
    EXPECT_FALSE(op.isDone() || op.await_ready() || op.cancel());  // NOLINT(bugprone-use-after-move): the point
    EXPECT_THROW(op.get(), std::logic_error);
    EXPECT_TRUE(moved.get().succeeded());
}

TEST(Durations, TheMaximumMeansNoLimitAndZeroIsRefused) {
    setFault("delay:200");
    ClientConfiguration c = ts::merchantConfiguration();
    c.overallTimeout = c.idleTimeout = std::chrono::milliseconds::max();
    Client client(c);
    Operation op = client.initializePairing(
        initRequest(), {std::chrono::milliseconds::max(), std::chrono::milliseconds(10'000'000'000'000), {}});
    EXPECT_EQ(op.wait_for(std::chrono::hours::max()), std::future_status::ready);
    EXPECT_TRUE(op.get().succeeded()) << op.get().error->description();
    Operation second = client.initializePairing(initRequest());
    EXPECT_TRUE(client.waitUntilIdle(std::chrono::milliseconds::max()));
    EXPECT_TRUE(second.isDone() && second.get().succeeded());
    for (auto zero : {std::chrono::milliseconds(0), std::chrono::milliseconds(-5)}) {
        c.idleTimeout = zero;
        EXPECT_THROW(Client{c}, std::invalid_argument);
        EXPECT_THROW(client.initializePairing(initRequest(), {zero, std::nullopt, {}}), std::invalid_argument);
        EXPECT_THROW(client.initializePairing(initRequest(), {std::nullopt, zero, {}}), std::invalid_argument);
    }
}

// Whatever a host's own callback throws, the operation ends as documented and the process lives.
TEST(Threads, HostCallbacksThatThrowAnythingAreContained) {
    setFault("none");
    ClientConfiguration c = ts::merchantConfiguration();
    c.keySource = KeySource::callback([]() -> std::optional<std::string> { throw 42; });
    c.keyFileName.reset();
    c.executor = [](std::function<void()>) { throw 42; };
    Client client(c);
    OperationResult r = awaited(client.initializePairing(initRequest())).first;  // resumed despite the executor
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code(), URLErrorCannotSignRequest);  // the key callback's throw means no key
    EXPECT_NE(r.error->localizedDescription().find("host callback"), std::string::npos) << r.error->description();
    std::promise<void> attached;  // the answer waits until the throwing continuation is attached
    ts::Recorder recorder;
    recorder.beforeReply = [go = attached.get_future().share()] { go.wait(); };
    ClientConfiguration signing = ts::answered(recorder);
    signing.executor = c.executor;
    Client signingClient(signing);
    Operation op = signingClient.initializePairing(initRequest());
    Rethrowing thrower = [](Operation o) -> Rethrowing {
        co_await o;
        throw 42;
    }(op);
    attached.set_value();
    EXPECT_TRUE(signingClient.waitUntilIdle(20s));  // the continuation has thrown by then
    EXPECT_TRUE(op.isDone());
    thrower.frame.destroy();
}

Detached countCompletion(Operation op, std::atomic<int>* count) {
    OperationResult r = co_await op;
    if (r.succeeded() || r.error->code() == URLErrorCancelled || r.statusCode() == 401) count->fetch_add(1);
    else fprintf(stderr, "UNEXPECTED %s\n", r.error->description().c_str());
}

// Unsigned requests (no key file) keep the signing cost out; the sandbox answers 401. A cancel comes at once, soon
// after the start, at the batch's end or never.
TEST(Cancellation, ThousandsCancelledAtRandomMomentsCompleteExactlyOnce) {
    setFault("none");
    ClientConfiguration keyless;
    keyless.host = ts::sandboxWorld().host, keyless.requireSignature = false;
    Client client(keyless);
    constexpr int kTotal = 2000, kBatch = 250;
    std::vector<std::atomic<int>> done(kTotal);
    std::mt19937 rng(13);
    for (int start = 0; start < kTotal; start += kBatch) {
        std::vector<Operation> later;
        for (int i = start; i < start + kBatch; ++i) {
            Operation op = client.initializePairing(initRequest());
            countCompletion(op, &done[i]);
            const unsigned when = rng() % 5;
            if (when == 1) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
            if (when < 2) op.cancel();
            if (when == 2) later.push_back(op);
        }
        for (Operation& op : later) op.cancel();
        ASSERT_TRUE(client.waitUntilIdle(120s));  // continuations included
    }
    for (int i = 0; i < kTotal; ++i) ASSERT_EQ(done[i].load(), 1) << "row " << i;
    // Cancelled transfers left the session able to serve the next operation.
    EXPECT_TRUE(Client(ts::merchantConfiguration()).initializePairing(initRequest()).get().succeeded());
}

// Their log lines are redacted unless the client asks for full ones (the facade's stay full: network_manager_test).
TEST(TestDouble, AllSixOperationsAreSignedAndATamperedRequestIsRejected) {
    ts::Recorder recorder;
    ClientConfiguration configuration = ts::answered(recorder);
    Client client(configuration);
    std::mutex m;
    std::string lines;
    setLogHandler([&](std::string_view line) {
        std::lock_guard lock(m);
        lines.append(line) += '\n';
    });
    auto payment = ts::acceptable<ZRBExpressCheckoutDataRequest>();
    payment.setAmount(10.5);
    const auto pre = ts::acceptable<ZRBPrecheckoutDataRequest>();
    ZRBPairingIDServiceRequest ownKey;  // the request's own credentials win over the client's
    ownKey.setConsumerKey("another-key");
    for (const Operation& op : {client.initializePairing({}), client.getPairingId(ownKey), client.authorizePairing({}),
             client.getPrecheckoutData(pre), client.expressCheckout(payment),
             client.getPaymentData(ts::acceptable<ZRBPaymentDataRequest>())}) {
        OperationResult r = op.get();
        ASSERT_TRUE(r.succeeded()) << r.error->description();
        EXPECT_EQ(std::tuple((*r.answer)["ok"], r.attempts.size()), std::tuple(Value(true), 1u));
    }
    // A payment whose first attempt never left goes again, its second attempt logged as redacted as the first.
    ts::Recorder retried;
    retried.reply = AnswererReply::transportFailure(URLErrorCannotConnectToHost, false);
    retried.beforeReply = [&] {
        if (retried.seen.size() == 2) retried.reply = AnswererReply::json(R"({"ok":true})");
    };
    payment.setCardId("card-4111-secret");
    EXPECT_EQ(Client(ts::answered(retried)).expressCheckout(payment).get().attempts.size(), 2u);
    configuration.fullLogLines = true;
    EXPECT_TRUE(Client(configuration).getPrecheckoutData(pre).get().succeeded());
    setLogHandler({});  // silent, as the sandbox world left it
    // Signed on several start threads at once: the server may see them in another order than started.
    auto sent = [&](const char* path) {
        return *std::find_if(recorder.seen.begin(), recorder.seen.end(),
            [path](const URLRequest& r) { return r.URL().find(path) != std::string::npos; });
    };
    const URLRequest paidRequest = sent("/expresscheckout"), dataRequest = sent("/paymentdata");
    const std::string auth = *paidRequest.valueForHTTPHeaderField("Authorization");
    EXPECT_EQ(lines.find(auth.substr(auth.find("oauth_signature=") + 17, 20)), std::string::npos) << lines;
    for (const std::string& secret : {*paidRequest.HTTPBody(), std::string("card-4111-secret"), std::string("10.5")})
        EXPECT_EQ(lines.find(secret), std::string::npos) << lines;
    EXPECT_NE(lines.find("Response: (11 bytes, not shown)"), std::string::npos);
    EXPECT_NE(lines.find("Response: {\"ok\":true}"), std::string::npos);  // the full client's
    const std::string pem = ts::sandboxWorld().file("merchant.pem");
    ASSERT_EQ(recorder.seen.size(), 7u);
    for (const URLRequest& request : recorder.seen) {
        const char* key =
            request.URL().find("/pairingid") != std::string::npos ? "another-key" : ts::kSandboxConsumerKey;
        EXPECT_EQ(checkRequestSignature(request, pem, {key}), std::nullopt) << request.URL();
    }
    URLRequest paid = paidRequest;
    ASSERT_EQ(paid.HTTPMethod(), "POST");
    paid.setHTTPBody(std::string(*paid.HTTPBody()).replace(paid.HTTPBody()->find("10.5"), 4, "99.5"));
    EXPECT_EQ(checkRequestSignature(paid, pem), "body hash mismatch");
    URLRequest moved(dataRequest.URL() + "&cartId=x", URLRequestReloadIgnoringLocalCacheData, 10);
    moved.setValue(*dataRequest.valueForHTTPHeaderField("Authorization"), "Authorization");
    EXPECT_EQ(checkRequestSignature(moved, pem), "signature does not verify");
    EXPECT_EQ(checkRequestSignature(dataRequest, pem, {"another-key"}), "unknown consumer key");
}

// Signing may take longer than the overall time-out (a key source that returns only once it has passed):
// no attempt starts after it, neither the first nor a retry. Nor is a pause slept that would pass it (the server
// asks for 30 s): the operation ends at once with the last failure, and no next attempt is announced.
// The client's time-out holds for a call that sets none (a call's own, and one that ends a transfer: RetryRules).
TEST(TestDouble, NoAttemptStartsPastTheDeadlineHoweverLongSigningTakes) {
    const std::string p12 = ts::sandboxWorld().file("merchant.p12");
    for (int slow : {0, 1, 2}) {  // which signing is slow; none: the pause asked for is the long wait
        ts::Recorder recorder;
        recorder.reply = AnswererReply::json("{}", 503);
        if (slow == 0) recorder.reply.headers = {{"Retry-After", "30"}};
        ClientConfiguration c = ts::answered(recorder);
        std::atomic<int> signings{0};
        std::atomic<bool> retryAnnounced{false};
        std::atomic<std::chrono::steady_clock::time_point> started{};
        c.keyFileName.reset(), c.overallTimeout = std::chrono::milliseconds(200);
        c.observer = [&](const OperationEvent& e) {
            if (e.kind == OperationEventKind::Started) started = std::chrono::steady_clock::now();
            if (e.retryIn) retryAnnounced = true;
        };
        c.keySource = KeySource::callback([&]() -> std::optional<std::string> {
            while (signings + 1 == slow && std::chrono::steady_clock::now() < started.load() + c.overallTimeout.value())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return ++signings, p12;
        });
        ZRBPrecheckoutDataRequest pre;
        pre.setPairingId("id");
        OperationResult r = Client(c).getPrecheckoutData(pre).get();
        ASSERT_TRUE(r.error);
        const size_t sent = slow == 1 ? 0u : 1u;
        EXPECT_EQ(std::tuple(recorder.seen.size(), r.attempts.size(), r.error->code(), r.reached),
            std::tuple(sent, sent, slow == 1 ? std::int64_t{URLErrorTimedOut} : 503, sent ? Reached::Yes : Reached::No))
            << r.error->description();
        EXPECT_EQ(retryAnnounced.load(), slow == 2) << slow;
    }
}

// A large answer decodes off the delivery thread: while its decode is held (its log line blocks), a small
// operation still completes; a cancel meanwhile still wins, as the result was not yet decided. Then more large
// answers than decode threads, in waves that each meet the threads idle: every one completes.
TEST(TestDouble, SmallOperationCompletesWhileALargeAnswerDecodesAndWavesOfLargeOnesAllComplete) {
    ts::Recorder largeRecorder, smallRecorder;
    largeRecorder.reply = AnswererReply::json(ts::wideAnswer(2000));  // beyond what decodes in line
    const std::string decoding = "Response: (" + std::to_string(largeRecorder.reply.body.size()) + " bytes";
    // Made before the log handler is set.
    const Client largeClient(ts::answered(largeRecorder)), smallClient(ts::answered(smallRecorder));
    std::promise<void> entered, release;
    std::shared_future<void> held = release.get_future().share();
    setLogHandler([&](std::string_view line) {
        if (line.starts_with(decoding)) entered.set_value(), held.wait();
    });
    Operation large = largeClient.initializePairing({});
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    Operation small = smallClient.initializePairing({});
    const bool smallDone = small.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const bool largeDone = large.isDone(), cancelled = large.cancel();
    release.set_value();
    EXPECT_TRUE(smallDone && small.get().succeeded());
    EXPECT_TRUE(!largeDone && cancelled);
    ASSERT_TRUE(large.get().error);
    // The cancel failure keeps what the answer said: it reached the server, with its status.
    EXPECT_EQ(std::tuple(large.get().error->code(), large.get().reached, large.get().statusCode()),
        std::tuple(URLErrorCancelled, Reached::Yes, 200));
    EXPECT_FALSE(large.cancel());  // completed: nothing more happens
    setLogHandler({});
    for (int wave = 0; wave < 4; ++wave) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the host pauses: the threads wait for work
        std::vector<Operation> ops;
        for (int i = 0; i < 5; ++i) ops.push_back(largeClient.initializePairing({}));
        for (Operation& op : ops) {
            ASSERT_EQ(op.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "wave " << wave;
            EXPECT_EQ(op.get().answer->size(), 2000u);
        }
    }
}

}  // namespace
