// Operation handles: the same outcomes as the callback API, the whole failure,
// cancellation at any moment, time-outs and waiting for shutdown.
#include <MerchantClient.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <WideAnswer.h>
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <random>
#include <stdexcept>

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
    for (const OperationResult& r :
        {client.initializePairing(initRequest()).get(), awaited(client.initializePairing(initRequest())).first}) {
        ASSERT_EQ(r.succeeded(), expected.success.has_value() && !httpFailure) << expected.describe();
        EXPECT_EQ(r.body.has_value(), r.error && row.reached == Reached::Yes);
        if (httpFailure) {
            EXPECT_EQ(std::tuple(r.error->domain(), r.error->code()), std::tuple(HTTPErrorDomain, row.status));
            EXPECT_EQ(*r.body, *row.fault == '5' ? std::string(row.fault + 4) : "");
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
        Row{"ConnectionRefused", "none", true, 0, Reached::No, nullptr},
        Row{"HundredThousandShortMembers", kWide.c_str(), false, 200, Reached::Yes, nullptr}),
    ts::RowName());

TEST(Credentials, TheRequestsOwnWinOverTheClients) {
    setFault("none");
    auto request = initRequest();  // the client's credentials filling an unset request: SameOutcomes/Answer
    request.setConsumerKey("another-key");
    OperationResult r = Client(ts::merchantConfiguration()).initializePairing(request).get();
    ASSERT_FALSE(r.succeeded());
    EXPECT_TRUE(r.statusCode() == 401 && r.error->domain() == HTTPErrorDomain && r.error->code() == 401);
    ASSERT_TRUE(r.serverErrorEntry);  // kept beside the status
    EXPECT_EQ(XMLTree::stringValueForKeyPath(*r.serverErrorEntry, "reasonCode"), Value("AUTHENTICATION_FAILED"));
}

Detached twoInARow(const Client& client, std::atomic<int>* finished) {
    co_await client.initializePairing(initRequest());
    co_await client.initializePairing(initRequest());
    finished->fetch_add(1);
}

TEST(Shutdown, WaitUntilIdleReturnsWhenTheLastOperationAndItsContinuationsAreDone) {
    setFault("delay:300");
    Client client(ts::merchantConfiguration());
    std::atomic<int> finished{0};
    twoInARow(client, &finished);
    Operation single = client.initializePairing(initRequest());
    EXPECT_FALSE(client.waitUntilIdle(50ms));
    ASSERT_TRUE(client.waitUntilIdle(60s));
    EXPECT_TRUE(finished.load() == 1 && single.isDone() && client.inFlight() == 0u);
}

TEST(Shutdown, CancelAllEndsEveryOperationCancelledAndLeavesCompletedOnesAlone) {
    setFault("none");
    Client client(ts::merchantConfiguration());
    const Operation done = client.initializePairing(initRequest());
    ASSERT_TRUE(done.get().succeeded());
    setFault("delay:2000");
    std::vector<Operation> slow;
    for (int i = 0; i < 8; ++i) slow.push_back(client.initializePairing(initRequest()));
    client.cancelAll();
    for (const Operation& op : slow) {
        OperationResult r = op.future().get();
        ASSERT_FALSE(r.succeeded());
        EXPECT_TRUE(r.error->code() == URLErrorCancelled && r.reached != Reached::Yes) << r.error->description();
    }
    EXPECT_TRUE(done.get().succeeded());
    EXPECT_TRUE(client.waitUntilIdle(60s));
}

// cancelAll() while an operation is still being signed (here: from its key callback) keeps it from going out.
TEST(Shutdown, CancelAllBeforeTheTransferExistsSendsNothing) {
    setFault("none");
    std::ifstream file(ts::sandboxWorld().dir.path() / "merchant.p12", std::ios::binary);
    const std::string p12{std::istreambuf_iterator<char>(file), {}};
    const Client* self = nullptr;
    ClientConfiguration c = ts::merchantConfiguration();
    c.keySource = KeySource::callback([&]() -> std::optional<std::string> {
        self->cancelAll();
        return p12;
    });
    c.keyFileName.reset();
    Client client(c);
    self = &client;
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
    EXPECT_TRUE(op.get().succeeded());
}

TEST(Durations, TheMaximumMeansNoLimitAndZeroIsRefused) {
    setFault("delay:200");
    ClientConfiguration c = ts::merchantConfiguration();
    c.idleTimeout = std::chrono::milliseconds::max();
    c.overallTimeout = std::chrono::milliseconds::max();
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
    ts::sandboxWorld().server->setObserver([go = attached.get_future().share()](auto&) { go.wait(); });
    ClientConfiguration signing = ts::merchantConfiguration();
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
    ts::sandboxWorld().server->setObserver({});
}

TEST(Threads, AMovedFromHandleIsSafeToAsk) {
    setFault("none");
    Client client(ts::merchantConfiguration());
    Operation op = client.initializePairing(initRequest());
    Operation moved = std::move(op);
    EXPECT_FALSE(op.isDone());  // NOLINT(bugprone-use-after-move): the point of the test
    EXPECT_FALSE(op.await_ready());
    EXPECT_FALSE(op.cancel());
    EXPECT_THROW(op.get(), std::logic_error);
    EXPECT_TRUE(moved.get().succeeded());
}

// Also an operation that had completed before the coroutine awaited it.
TEST(Threads, AwaitingResumesOnTheClientsExecutor) {
    ClientConfiguration c = ts::merchantConfiguration();
    c.executor = [](std::function<void()> task) {
        inExecutor = true;
        task();
        inExecutor = false;
    };
    Client client(c);
    for (bool completed : {false, true}) {
        setFault(completed ? "none" : "delay:100");  // or still running when the coroutine suspends
        Operation op = client.initializePairing(initRequest());
        if (completed) op.wait();
        EXPECT_TRUE(awaited(op).second) << completed;
    }
}

Detached countCompletion(Operation op, std::atomic<int>* count) {
    OperationResult r = co_await op;
    if (r.succeeded() || r.error->code() == URLErrorCancelled || r.statusCode() == 401) count->fetch_add(1);
    else fprintf(stderr, "UNEXPECTED %s\n", r.error->description().c_str());
}

// Unsigned requests (no key file) keep the signing cost out; the sandbox answers 401.
TEST(Cancellation, ThousandsCancelledAtRandomMomentsCompleteExactlyOnce) {
    setFault("none");
    ClientConfiguration keyless;
    keyless.host = ts::sandboxWorld().host, keyless.requireSignature = false;
    Client client(keyless);
    constexpr int kTotal = 2000, kBatch = 250;
    std::vector<std::atomic<int>> done(kTotal);
    std::mt19937 rng(13);
    const std::string url = "https://" + ts::sandboxWorld().host + "/quorvex/pairingid";
    for (int start = 0; start < kTotal; start += kBatch) {
        std::vector<std::function<void()>> later;  // cancels at the batch's end
        std::vector<URLSessionDataTask> tasks;
        tasks.reserve(kBatch);
        for (int i = start; i < start + kBatch; ++i) {
            // Even rows go through handles, odd rows straight through the session.
            std::function<void()> cancel;
            const unsigned when = rng() % 5;  // 0 before start, 1 soon after, 2 at the batch's end, else never
            if (i % 2 == 0) {
                Operation op = client.initializePairing(initRequest());
                countCompletion(op, &done[i]);
                cancel = [op] { op.cancel(); };
            } else {
                tasks.push_back(URLSession::sharedSession().dataTaskWithRequest(
                    URLRequest(url), [&done, i](auto, auto, auto) { done[i].fetch_add(1); }));
                cancel = [t = &tasks.back()] { t->cancel(); };
                if (when == 0) cancel();
                tasks.back().resume();
            }
            if (when == 1) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
            if (when == 1 || (when == 0 && i % 2 == 0)) cancel();
            if (when == 2) later.push_back(cancel);
        }
        for (auto& cancel : later) cancel();
        ASSERT_TRUE(client.waitUntilIdle(120s));
    }
    // The session's own tasks have no idle wait: poll, bounded.
    for (int i = 0; i < 3000 && std::any_of(done.begin(), done.end(), [](auto& d) { return d == 0; }); ++i)
        std::this_thread::sleep_for(20ms);
    for (int i = 0; i < kTotal; ++i) ASSERT_EQ(done[i].load(), 1) << "row " << i;
    // Cancelled transfers left the session able to serve the next operation.
    EXPECT_TRUE(Client(ts::merchantConfiguration()).initializePairing(initRequest()).get().succeeded());
}

}  // namespace
