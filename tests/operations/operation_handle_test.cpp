// Operation handles: the same outcomes as the callback API, the whole failure,
// cancellation at any moment, time-outs and waiting for shutdown.
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <SandboxWorld.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <random>

using namespace orvalis;
namespace ts = orvalis::testsupport;
using namespace std::chrono_literals;

namespace {

ClientConfiguration sandboxConfiguration() {
    ClientConfiguration c;
    c.host = ts::sandboxWorld().host;
    c.consumerKey = ts::kSandboxConsumerKey;
    c.keyFileName = "merchant";
    c.keyFilePassword = ts::kSandboxPassword;
    return c;
}

ZRBInitializePairingRequest initRequest() {
    ZRBInitializePairingRequest r;
    r.setCheckoutID("chk-1");
    r.setUserId("user-42");
    return r;
}

void setFault(const char* fault) {
    ts::sandboxWorld().server->setFault("initializepairing", *sandbox::Fault::parse(fault));
}

// A port on 127.0.0.1 that nothing listens on.
int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), n);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    close(fd);
    return ntohs(a.sin_port);
}

// The smallest coroutine: starts at once, nobody awaits it.
struct Detached {
    struct promise_type {
        Detached get_return_object() { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { std::terminate(); }
    };
};

Detached awaitInto(Operation op, std::shared_ptr<std::promise<OperationResult>> out) { out->set_value(co_await op); }

OperationResult awaited(const Operation& op) {
    auto out = std::make_shared<std::promise<OperationResult>>();
    auto f = out->get_future();
    awaitInto(op, out);
    EXPECT_EQ(f.wait_for(60s), std::future_status::ready);
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
    ClientConfiguration c = sandboxConfiguration();
    if (row.refused) c.host = "127.0.0.1:" + std::to_string(closedPort());
    Client client(c);
    auto request = initRequest();
    ts::Outcomes callbacks;
    auto signedRequest = ts::credentialed<ZRBInitializePairingRequest>();
    signedRequest.setHost(c.host);
    signedRequest.setCheckoutID("chk-1");
    signedRequest.setUserId("user-42");
    ZRBOrvalis().initializePairing(signedRequest, callbacks.success(), callbacks.failure());
    ASSERT_TRUE(callbacks.waitFor(1));
    const auto expected = callbacks.all().front();

    for (const OperationResult& r : {client.initializePairing(request).get(), awaited(client.initializePairing(request))}) {
        ASSERT_EQ(r.succeeded(), expected.success.has_value()) << expected.describe();
        if (expected.success) {
            EXPECT_EQ(*r.answer, *expected.success);
        } else {
            EXPECT_EQ(r.error->domain(), expected.failure->domain());
            EXPECT_EQ(r.error->code(), expected.failure->code());
            if (!row.refused) {
                EXPECT_EQ(r.error->description(), expected.failure->description());
            }
        }
        EXPECT_EQ(r.statusCode(), row.status);
        EXPECT_EQ(r.reached, row.reached);
        EXPECT_EQ(r.response.has_value(), row.reached == Reached::Yes);
        if (r.response) {
            EXPECT_TRUE(r.response->valueForHTTPHeaderField("Content-Length").has_value());
        }
        ASSERT_EQ(r.serverErrorEntry.has_value(), row.reasonKey != nullptr);
        if (row.reasonKey) {
            EXPECT_EQ(XMLTree::stringValueForKeyPath(*r.serverErrorEntry, row.reasonKey), Value("SYSTEM_ERROR"));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Operations, SameOutcomes,
    testing::Values(Row{"Answer", "none", false, 200, Reached::Yes, nullptr},
                    Row{"JsonErrors", "errors", false, 200, Reached::Yes, "reasonCode"},
                    Row{"XmlError", "xml-error", false, 200, Reached::Yes, "ReasonCode"},
                    Row{"Http500EmptyBody", "http500", false, 500, Reached::Yes, nullptr},
                    Row{"ConnectionRefused", "none", true, 0, Reached::No, nullptr}),
    [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST(Credentials, ClientFillsWhatTheRequestLeavesUnsetAndTheRequestWins) {
    setFault("none");
    Client client(sandboxConfiguration());
    EXPECT_TRUE(client.initializePairing(initRequest()).get().succeeded());
    auto request = initRequest();
    request.setConsumerKey("another-key");
    OperationResult r = client.initializePairing(request).get();
    ASSERT_FALSE(r.succeeded());
    EXPECT_EQ(r.statusCode(), 401);
}

struct Limit {
    const char* name;
    std::optional<std::chrono::milliseconds> idle, overall;
};

class TimeOuts : public testing::TestWithParam<Limit> {};

TEST_P(TimeOuts, EndTheOperationBeforeTheLateAnswer) {
    setFault("delay:4000");
    Client client(sandboxConfiguration());
    OperationResult r = client.initializePairing(initRequest(), {GetParam().idle, GetParam().overall}).get();
    ASSERT_FALSE(r.succeeded());
    EXPECT_EQ(r.error->domain(), URLErrorDomain);
    EXPECT_EQ(r.error->code(), URLErrorTimedOut) << r.error->description();
    EXPECT_EQ(r.reached, Reached::Maybe);
}

INSTANTIATE_TEST_SUITE_P(Operations, TimeOuts,
                         testing::Values(Limit{"Idle", 400ms, std::nullopt}, Limit{"Overall", std::nullopt, 400ms}),
                         [](const testing::TestParamInfo<Limit>& info) { return std::string(info.param.name); });

Detached twoInARow(const Client& client, std::atomic<int>* finished) {
    co_await client.initializePairing(initRequest());
    co_await client.initializePairing(initRequest());
    finished->fetch_add(1);
}

TEST(Shutdown, WaitUntilIdleReturnsWhenTheLastOperationAndItsContinuationsAreDone) {
    setFault("delay:600");
    Client client(sandboxConfiguration());
    std::atomic<int> finished{0};
    twoInARow(client, &finished);
    Operation single = client.initializePairing(initRequest());
    EXPECT_FALSE(client.waitUntilIdle(50ms));
    ASSERT_TRUE(client.waitUntilIdle(60s));
    EXPECT_EQ(finished.load(), 1);
    EXPECT_TRUE(single.isDone());
    EXPECT_EQ(client.inFlight(), 0u);
}

TEST(Shutdown, CancelAllEndsEveryOperationCancelledAndLeavesCompletedOnesAlone) {
    Client client(sandboxConfiguration());
    Operation done = client.initializePairing(initRequest());
    ASSERT_TRUE(done.get().succeeded());
    setFault("delay:5000");
    std::vector<Operation> slow;
    for (int i = 0; i < 8; ++i) slow.push_back(client.initializePairing(initRequest()));
    client.cancelAll();
    done.cancel();
    for (const Operation& op : slow) {
        OperationResult r = op.future().get();
        ASSERT_FALSE(r.succeeded());
        EXPECT_EQ(r.error->code(), URLErrorCancelled) << r.error->description();
        EXPECT_NE(r.reached, Reached::Yes);
    }
    EXPECT_TRUE(done.get().succeeded());
    EXPECT_TRUE(client.waitUntilIdle(60s));
}

TEST(Threads, AwaitingResumesOnTheClientsExecutor) {
    setFault("none");
    std::mutex m;
    std::vector<std::function<void()>> queue;
    ClientConfiguration c = sandboxConfiguration();
    c.executor = [&](std::function<void()> task) {
        std::lock_guard lock(m);
        queue.push_back(std::move(task));
    };
    Client client(c);
    auto out = std::make_shared<std::promise<std::thread::id>>();
    [](Operation op, std::shared_ptr<std::promise<std::thread::id>> o) -> Detached {
        co_await op;
        o->set_value(std::this_thread::get_id());
    }(client.initializePairing(initRequest()), out);
    auto resumedOn = out->get_future();
    for (int i = 0; i < 6000 && resumedOn.wait_for(10ms) != std::future_status::ready; ++i) {
        std::vector<std::function<void()>> tasks;
        {
            std::lock_guard lock(m);
            tasks.swap(queue);
        }
        for (auto& t : tasks) t();
    }
    EXPECT_EQ(resumedOn.get(), std::this_thread::get_id());
}

Detached countCompletion(Operation op, std::atomic<int>* count) {
    OperationResult r = co_await op;
    if (r.succeeded() || r.error->code() == URLErrorCancelled || r.statusCode() == 401) count->fetch_add(1);
}

// Unsigned requests (no key file) keep the signing cost out; the sandbox answers 401.
TEST(Cancellation, TenThousandCancelledAtRandomMomentsCompleteExactlyOnce) {
    setFault("none");
    ClientConfiguration keyless;
    keyless.host = ts::sandboxWorld().host;
    Client client(keyless);
    constexpr int kTotal = 10000, kBatch = 250;
    std::vector<std::atomic<int>> handleDone(kTotal), taskDone(kTotal);
    std::mt19937 rng(13);
    const std::string url = "https://" + ts::sandboxWorld().host + "/quorvex/pairingid";
    for (int start = 0; start < kTotal; start += kBatch) {
        std::vector<Operation> later;
        std::vector<URLSessionDataTask> tasks;
        tasks.reserve(kBatch);
        std::vector<URLSessionDataTask*> laterTasks;
        for (int i = start; i < start + kBatch; ++i) {
            // Even rows go through handles, odd rows straight through the session.
            std::optional<Operation> op;
            const unsigned when = rng() % 5;  // 0 before start, 1 soon after, 2 at the batch's end, else never
            if (i % 2 == 0) {
                op = client.initializePairing(initRequest());
                countCompletion(*op, &handleDone[i]);
                if (when == 0) op->cancel();
            } else {
                tasks.push_back(URLSession::sharedSession().dataTaskWithRequest(
                    URLRequest(url), [&taskDone, i](auto, auto, auto) { taskDone[i].fetch_add(1); }));
                if (when == 0) tasks.back().cancel();
                tasks.back().resume();
            }
            if (when == 1) {
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1500));
                op ? op->cancel() : tasks.back().cancel();
            }
            if (when == 2) op ? later.push_back(*op) : laterTasks.push_back(&tasks.back());
        }
        for (URLSessionDataTask* task : laterTasks) task->cancel();
        for (const Operation& op : later) op.cancel();
        ASSERT_TRUE(client.waitUntilIdle(120s));
    }
    for (int i = 0; i < 3000; ++i) {  // the session's own tasks have no idle wait: poll, bounded
        int total = 0;
        for (int k = 1; k < kTotal; k += 2) total += taskDone[k].load();
        if (total >= kTotal / 2) break;
        std::this_thread::sleep_for(20ms);
    }
    for (int i = 0; i < kTotal; ++i) ASSERT_EQ((i % 2 == 0 ? handleDone : taskDone)[i].load(), 1) << "row " << i;
    // Cancelled transfers left the session able to serve the next operation.
    EXPECT_TRUE(Client(sandboxConfiguration()).initializePairing(initRequest()).get().succeeded());
}

}  // namespace
