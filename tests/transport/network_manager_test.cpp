#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestServer.h"
#include "TransportTestUtil.h"

namespace orvalis::transporttest {
namespace {

// Every callback of one executeService, in order, with the thread it ran on.
struct Calls {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::string> events;  // "success <description>" or "failure <domain> <code> <text>"
    std::vector<Dictionary> dictionaries;
    std::vector<Error> errors;
    std::vector<std::thread::id> threads;

    void add(std::string event) {
        std::lock_guard lock(m);
        events.push_back(std::move(event));
        threads.push_back(std::this_thread::get_id());
        cv.notify_all();
    }
    bool waitFor(size_t n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(30), [&] { return events.size() >= n; });
    }
};

// Completions run one after another on the delivery thread: once a later task has
// completed, every callback of an earlier completion has run.
void drainDeliveries(TestServer& server) { fetch(get(server.url("/stats"))); }

class NetworkManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = &sharedServer();
        setLogHandler([this](std::string_view line) {
            std::lock_guard lock(logMutex_);
            log_.emplace_back(line);
        });
    }
    void TearDown() override { resetLogHandler(); }

    // Has the server answer with body under status, through executeService.
    std::shared_ptr<Calls> exchange(const std::string& body, const std::string& status = "200 OK",
                                    std::function<void(Dictionary)> extraOnSuccess = nullptr) {
        URLRequest r(server_->url("/reply"), URLRequestReloadIgnoringLocalCacheData, 10);
        r.setHTTPMethod("POST");
        r.setHTTPBody(body);
        r.setValue(status, "X-Status");
        return execute(r, std::move(extraOnSuccess));
    }

    std::shared_ptr<Calls> execute(const URLRequest& r, std::function<void(Dictionary)> extraOnSuccess = nullptr) {
        auto calls = std::make_shared<Calls>();
        ZRBNetworkManager().executeService(
            r,
            [calls, extraOnSuccess](Dictionary d) {
                {
                    std::lock_guard lock(calls->m);
                    calls->dictionaries.push_back(d);
                }
                calls->add("success " + d.description());
                if (extraOnSuccess) extraOnSuccess(d);
            },
            [calls](Error e) {
                {
                    std::lock_guard lock(calls->m);
                    calls->errors.push_back(e);
                }
                calls->add("failure " + e.domain() + " " + std::to_string(e.code()) + " " + e.localizedDescription());
            });
        EXPECT_TRUE(calls->waitFor(1));
        drainDeliveries(*server_);
        return calls;
    }

    std::vector<std::string> logLines() {
        std::lock_guard lock(logMutex_);
        return log_;
    }

    TestServer* server_ = nullptr;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

const std::string kFailure = std::string("failure ") + kZRBNetworkErrorDomain + " 101 ";

TEST_F(NetworkManagerTest, AnswersBecomeExactlyOneCallback) {
    struct Case {
        const char* name;
        std::string body;
        const char* status;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"plain object", R"({"a":1,"b":[true,null]})", "200 OK", R"(success {"a":1,"b":[true,null]})"},
        {"status is ignored", R"({"a":1})", "500 Internal Server Error", R"(success {"a":1})"},
        {"empty errors array", R"({"errors":[],"a":"x"})", "200 OK", R"(success {"errors":[],"a":"x"})"},
        {"empty errors object", R"({"errors":{}})", "200 OK", R"(success {"errors":{}})"},
        {"errors null", R"({"errors":null})", "200 OK", kFailure + "Server Error"},
        {"first error description", R"({"errors":[{"source":"s","description":"Bad key"},{"description":"2nd"}]})",
         "200 OK", kFailure + "Bad key"},
        {"first error without description", R"({"errors":[{"code":"E1"}]})", "200 OK", kFailure + "Server Error"},
        {"first error is text", R"({"errors":["plain words"]})", "200 OK", kFailure + "plain words"},
        {"first error is a number", R"({"errors":[42]})", "200 OK", kFailure + "42"},
        {"first error is null", R"({"errors":[null]})", "200 OK", kFailure + "Server Error"},
        {"errors non-empty object", R"({"errors":{"a":1}})", "200 OK", kFailure + "Server Error"},
        {"errors text", R"({"errors":"x"})", "200 OK", kFailure + "Server Error"},
        {"errors false", R"({"errors":false})", "200 OK", kFailure + "Server Error"},
        {"zero-length body", "", "200 OK", kFailure + "Server Error"},
        {"top-level scalar", R"("just text")", "200 OK", kFailure + "Server Error"},
        {"empty top-level array", "[]", "200 OK", "success {}"},
        {"non-empty top-level array", R"([{"a":1}])", "200 OK", kFailure + "Server Error"},
        {"invalid UTF-8", "\xff\xfe{\"a\":1}", "200 OK", kFailure + "Server Error"},
        {"XML body", "<r><a>1</a><b k='v'>t</b></r>", "200 OK",
         R"(success {"__name":"r","a":"1","b":{"_k":"v","__text":"t"}})"},
        {"XML with an Error child", "<r><Error><m>no</m></Error></r>", "200 OK", kFailure + "Server Error"},
        {"XML root named Error", "<Error><m>no</m></Error>", "200 OK", R"(success {"__name":"Error","m":"no"})"},
        {"cut-off XML", "<r><a>1</a><b>x</b><c", "200 OK", "failure org.orvalis.ZRBNetworkManager 101 Server Error"},
    };
    for (const Case& c : cases) {
        auto calls = exchange(c.body, c.status);
        ASSERT_EQ(calls->events.size(), 1u) << c.name;
        EXPECT_EQ(calls->events[0], c.expected) << c.name;
        EXPECT_NE(calls->threads[0], std::this_thread::get_id()) << c.name;
    }
}

TEST_F(NetworkManagerTest, ErrorsCarryOnlyTheDescriptionAndDeliveredObjectsAreMutable) {
    auto failed = exchange(R"({"errors":[{"description":"Bad key"}]})");
    ASSERT_EQ(failed->errors.size(), 1u);
    EXPECT_EQ(failed->errors[0].userInfo(), (Dictionary{{NSLocalizedDescriptionKey, Value("Bad key")}}));

    auto ok = exchange(R"({"list":[1],"map":{"k":"v"}})");
    ASSERT_EQ(ok->dictionaries.size(), 1u);
    Dictionary d = ok->dictionaries[0];
    d.objectForKey("list").asArray().push_back(Value(2));
    d.objectForKey("map").asDictionary().set("k2", Value("v2"));
    d.set("added", Value(true));
    EXPECT_EQ(d.description(), R"({"list":[1,2],"map":{"k":"v","k2":"v2"},"added":true})");
}

TEST_F(NetworkManagerTest, TransportFailuresArriveUnchanged) {
    struct Case {
        std::string url;
        double timeout;
        std::int64_t code;
    };
    for (const Case& c : {Case{server_->url("/stall"), 1.0, URLErrorTimedOut},
                          Case{server_->url("/reset"), 10.0, URLErrorNetworkConnectionLost},
                          Case{server_->url("/short"), 10.0, URLErrorNetworkConnectionLost},
                          Case{server_->url("/echo", "wrong"), 10.0, URLErrorServerCertificateUntrusted}}) {
        auto calls = execute(get(c.url, c.timeout));
        ASSERT_EQ(calls->errors.size(), 1u) << c.url;
        EXPECT_EQ(calls->events.size(), 1u) << c.url;
        EXPECT_EQ(calls->errors[0].domain(), URLErrorDomain) << c.url;
        EXPECT_EQ(calls->errors[0].code(), c.code) << calls->events[0];
    }
    // The partial bodies were never parsed: no "Response:" line.
    for (const auto& line : logLines()) EXPECT_NE(line.rfind("Response:", 0), 0u) << line;
}

TEST_F(NetworkManagerTest, RedirectAndCompressedAnswersGoThroughTheSameSteps) {
    auto redirect = execute(get(server_->url("/redirect")));
    auto gzip = execute(get(server_->url("/gzip")));
    ASSERT_EQ(redirect->events.size(), 1u);
    EXPECT_EQ(redirect->events[0], R"(success {"moved":true})");
    ASSERT_EQ(gzip->dictionaries.size(), 1u);
    EXPECT_EQ(gzip->dictionaries[0].objectForKey("compressed"), Value("yes"));
}

TEST_F(NetworkManagerTest, LogsRequestBodyBeforeSendingAndResponseBody) {
    URLRequest post(server_->url("/reply"), URLRequestReloadIgnoringLocalCacheData, 10);
    post.setHTTPMethod("POST");
    post.setHTTPBody("{\"k\":\"caf\xC3\xA9\xff\"}");
    auto calls = std::make_shared<Calls>();
    ZRBNetworkManager().executeService(
        post, [calls](Dictionary) { calls->add("success"); }, [calls](Error) { calls->add("failure"); });
    const auto beforeCompletion = logLines();
    ASSERT_TRUE(calls->waitFor(1));
    drainDeliveries(*server_);
    ASSERT_FALSE(beforeCompletion.empty());
    EXPECT_EQ(beforeCompletion[0], "Request : {\"k\":\"caf\xC3\xA9\xEF\xBF\xBD\"}");
    const auto all = logLines();
    EXPECT_NE(std::find(all.begin(), all.end(), "Response: {\"k\":\"caf\xC3\xA9\xEF\xBF\xBD\"}"), all.end());

    std::vector<std::string> lines;
    {
        std::lock_guard lock(logMutex_);
        log_.clear();
    }
    execute(get(server_->url("/stats")));
    for (const auto& line : logLines()) EXPECT_NE(line.rfind("Request : ", 0), 0u) << "a GET has no body to log";
}

TEST_F(NetworkManagerTest, ThrowingSuccessCallbackOnTheJSONBranchFallsBackToServerError) {
    auto calls = exchange(R"({"a":1})", "200 OK", [](Dictionary) { throw std::runtime_error("host bug"); });
    ASSERT_EQ(calls->events.size(), 2u);
    EXPECT_EQ(calls->events[0], R"(success {"a":1})");
    EXPECT_EQ(calls->events[1], kFailure + "Server Error");
}

TEST_F(NetworkManagerTest, ThrowingCallbackOutsideTheJSONBranchLeavesTheProcessRunning) {
    auto xml = exchange("<r><a>1</a></r>", "200 OK", [](Dictionary) { throw std::runtime_error("host bug"); });
    ASSERT_EQ(xml->events.size(), 1u);
    auto failure = std::make_shared<Calls>();
    ZRBNetworkManager().executeService(
        get(server_->url("/close")), [](Dictionary) {},
        [failure](Error e) {
            failure->add(e.description());
            throw std::logic_error("host bug on failure");
        });
    ASSERT_TRUE(failure->waitFor(1));
    auto after = exchange(R"({"still":"alive"})");
    ASSERT_EQ(after->events.size(), 1u);
    EXPECT_EQ(after->events[0], R"(success {"still":"alive"})");
}

TEST_F(NetworkManagerTest, ManyRequestsFromManyThreadsEachGetOneCallbackOnTheDeliveryThread) {
    setLogHandler({});
    constexpr int kThreads = 8;
    constexpr int kPerThread = 125;
    constexpr int kTotal = kThreads * kPerThread;
    std::vector<std::atomic<int>> counts(kTotal);
    std::atomic<int> done{0};
    std::atomic<int> onStarter{0};
    std::vector<std::thread::id> starters(kThreads);
    std::mutex m;
    std::condition_variable cv;
    const URLRequest request = get(server_->url("/stats"));

    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            starters[t] = std::this_thread::get_id();
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kPerThread; ++i) {
                const int id = t * kPerThread + i;
                auto record = [&, id, t] {
                    counts[id].fetch_add(1);
                    if (std::this_thread::get_id() == starters[t]) onStarter.fetch_add(1);
                    if (done.fetch_add(1) + 1 == kTotal) {
                        std::lock_guard lock(m);
                        cv.notify_all();
                    }
                };
                ZRBNetworkManager().executeService(
                    request, [record](Dictionary) { record(); }, [record](Error) { record(); });
            }
        });
    }
    go = true;
    for (auto& th : threads) th.join();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return done.load() >= kTotal; }))
            << done.load() << " of " << kTotal << " callbacks";
    }
    drainDeliveries(*server_);
    EXPECT_EQ(done.load(), kTotal);
    EXPECT_EQ(onStarter.load(), 0);
    for (int i = 0; i < kTotal; ++i) ASSERT_EQ(counts[i].load(), 1) << "request " << i;
}

TEST_F(NetworkManagerTest, JSONPostRequestIsAnUnsignedPrettyPrintedPost) {
    ZRBNetworkManager manager;
    URLRequest r = manager.getJSONPostRequest("https://h.example/p", Dictionary{{"a", Value(1)}});
    EXPECT_EQ(r.URL(), "https://h.example/p");
    EXPECT_EQ(r.HTTPMethod(), "POST");
    EXPECT_EQ(r.valueForHTTPHeaderField("Content-Type"), "application/json");
    EXPECT_FALSE(r.valueForHTTPHeaderField("Authorization"));
    EXPECT_EQ(r.HTTPBody(), JSONSerialization::dataWithJSONObject(Value(Dictionary{{"a", Value(1)}}), true));
    EXPECT_EQ(r.cachePolicy(), URLRequestUseProtocolCachePolicy);

    EXPECT_FALSE(manager.getJSONPostRequest("https://h.example/p", std::nullopt).HTTPBody());

    Dictionary bad{{"n", Value(std::numeric_limits<double>::infinity())}};
    URLRequest unwritable = manager.getJSONPostRequest("https://h.example/p", bad);
    EXPECT_FALSE(unwritable.HTTPBody());
    EXPECT_EQ(unwritable.valueForHTTPHeaderField("Content-Type"), "application/json");
    const auto lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("NSJSONSerialization error:", 0), 0u) << lines.back();
}

}  // namespace
}  // namespace orvalis::transporttest
