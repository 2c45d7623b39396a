// ZRBNetworkManager against the test server: each transport failure and each kind of answer ends in
// exactly one callback, and many requests in flight from many threads do too.
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Outcomes.h>
#include <Printers.h>
#include <TestServer.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <barrier>
#include <mutex>
#include <set>

namespace orvalis::testsupport {
namespace {

// Each callback as "success <description>" or "failure <domain> <code>: <text>", in the order they ran.
std::vector<std::string> events(const std::vector<Outcomes::One>& calls) {
    std::vector<std::string> out;
    for (const auto& o : calls) out.push_back((o.success ? "success " : "failure ") + o.describe());
    return out;
}

class Manager : public ::testing::Test {
protected:
    void SetUp() override {
        setLogHandler([this](std::string_view line) {
            std::lock_guard lock(logMutex_);
            log_.emplace_back(line);
        });
    }
    void TearDown() override { resetLogHandler(); }
    std::vector<std::string> logLines() {
        std::lock_guard lock(logMutex_);
        return log_;
    }
    // Every callback of one executeService, each followed by the host's own work `then(success)`, which may throw;
    // the log as it stood when the call returned goes to logWhenReturned_. Completions run one after another on
    // the delivery thread: once a later task has completed, every callback of the earlier one has run.
    std::vector<Outcomes::One> execute(const URLRequest& r, std::function<void(bool success)> then = {}) {
        auto out = std::make_shared<Outcomes>();
        ZRBNetworkManager().executeService(
            r,
            [out, then](Dictionary d) {
                out->success()(d);
                if (then) then(true);
            },
            [out, then](Error e) {
                out->failure()(e);
                if (then) then(false);
            });
        logWhenReturned_ = logLines();
        EXPECT_TRUE(out->waitFor(1));
        fetch(get(server.url("/stats")));
        return out->all();
    }
    // A POST the server answers with its own body.
    URLRequest reply(const std::string& body) { return request(server.url("/reply"), "POST", body); }
    TestServer& server = sharedServer();
    std::mutex logMutex_;
    std::vector<std::string> log_;
    std::vector<std::string> logWhenReturned_;
};

struct Failure {
    const char* name;
    const char* path;
    const char* port;  // of the test server
    std::int64_t code;
    double timeout = 10;  // idle, in seconds
};
class TransportFailure : public Manager, public ::testing::WithParamInterface<Failure> {};

// The manager passes these on unchanged: ThrowingCallbacksAreContained checks one of them there. A refused
// connection and a close without answer: the Client's RetryRules; a chunked body cut short is read as the short
// one is (libcurl 18). A stall ends at its 0.5 s idle time-out, long before fetch stops waiting (30 s).
// Certificates are checked by OpenSSL once verification is on: one row for the chain, one for the host name.
// The TLS floor: process_test.cpp.
TEST_P(TransportFailure, BecomesItsSessionError) {
    const Failure& f = GetParam();
    const std::string url = server.url(f.path, f.port);
    Outcome o = fetch(get(url, f.timeout));
    ASSERT_TRUE(o.error);
    EXPECT_EQ(std::tuple(o.error->domain(), o.error->code()), std::tuple(URLErrorDomain, f.code)) << o.errorText();
    EXPECT_NE(o.error->localizedDescription().find("(libcurl "), std::string::npos) << o.errorText();
    EXPECT_EQ(o.error->userInfo().objectForKey(URLErrorFailingURLStringKey), Value(url));
    EXPECT_FALSE(o.data) << "a partial body must never be delivered";
}

INSTANTIATE_TEST_SUITE_P(Rows, TransportFailure,
    ::testing::Values(Failure{"CertificateForAnotherHost", "/echo", "wrong", URLErrorServerCertificateUntrusted},
        Failure{"SelfSignedCertificate", "/echo", "self", URLErrorServerCertificateUntrusted},
        Failure{"BadGzip", "/badgzip", "good", URLErrorCannotDecodeContentData},
        Failure{"ResetMidBody", "/reset", "good", URLErrorNetworkConnectionLost},
        Failure{"ShorterThanAnnounced", "/short", "good", URLErrorNetworkConnectionLost},
        Failure{"ChunkSizeNotHex", "/badchunk", "good", URLErrorNetworkConnectionLost},
        Failure{"StalledAnswer", "/stall", "good", URLErrorTimedOut, 0.5}),
    RowName());

const std::string kFailure = std::string("failure ") + kZRBNetworkErrorDomain + " 101: ";
const std::string kServerError = kFailure + "Server Error";

struct Answer {
    const char* name;
    std::string body;  // sent back by the server under "200 OK"; or the answer of GET path
    std::string expected;
    const char* path = nullptr;
};
class AnswerToCallback : public Manager, public ::testing::WithParamInterface<Answer> {};

TEST_P(AnswerToCallback, BecomesExactlyOneCallback) {
    const Answer& a = GetParam();
    auto calls = execute(a.path ? get(server.url(a.path)) : reply(a.body));
    ASSERT_EQ(events(calls), std::vector<std::string>{a.expected});  // off the caller's thread: ManyInFlight
    if (calls[0].failure) { EXPECT_EQ(calls[0].failure->userInfo().size(), 1u) << "only the description"; }
}

// A cut-off XML answer goes through the same completion steps in answers_test.cpp (XMLCutShort).
INSTANTIATE_TEST_SUITE_P(Rows, AnswerToCallback,
    ::testing::Values(Answer{"EmptyErrorsArray", R"({"errors":[],"a":"x"})", R"(success {"errors":[],"a":"x"})"},
        Answer{"EmptyErrorsObject", R"({"errors":{}})", R"(success {"errors":{}})"},
        Answer{"ErrorsNull", R"({"errors":null})", kServerError},
        Answer{"ErrorsNonEmptyObject", R"({"errors":{"a":1}})", kServerError},
        Answer{"FirstErrorDescription", R"({"errors":[{"source":"s","description":"Bad key"},{"description":"2nd"}]})",
            kFailure + "Bad key"},
        Answer{"FirstErrorWithoutDescription", R"({"errors":[{"code":"E1"}]})", kServerError},
        Answer{"FirstErrorIsText", R"({"errors":["plain words"]})", kFailure + "plain words"},
        Answer{"FirstErrorIsNumber", R"({"errors":[42]})", kFailure + "42"},
        Answer{"FirstErrorIsNull", R"({"errors":[null]})", kServerError}, Answer{"ZeroLengthBody", "", kServerError},
        Answer{"EmptyTopLevelArray", "[]", "success {}"}, Answer{"NonEmptyTopLevelArray", R"([{"a":1}])", kServerError},
        Answer{"InvalidUTF8", "{\"a\":\"\xff\"}", kServerError},
        Answer{"XmlBody", "<r><a>1</a><b k='v'>t</b></r>",
            R"(success {"__name":"r","a":"1","b":{"_k":"v","__text":"t"}})"},
        Answer{"XmlWithErrorChild", "<r><Error><m>no</m></Error></r>", kServerError},
        Answer{"XmlRootNamedError", "<Error><m>no</m></Error>", R"(success {"__name":"Error","m":"no"})"},
        Answer{"GzipDecoded", "", R"(success {"zipped":")" + std::string(40, 'z') + "\"}", "/gzip"},
        Answer{"GzipOfTwoMembersDecodesWhole", "", R"(success {"two":"members"})", "/gzip2"},
        Answer{"Http10EndedByClose", "", R"(success {"old":"http"})", "/http10"}),
    RowName());

TEST_F(Manager, LogsTheRequestBodyBeforeSendingAndTheResponseBodyAsValidText) {
    execute(get(server.url("/json")));  // a GET has no body to log
    execute(reply("{\"k\":\"caf\xC3\xA9\xff\"}"));
    const std::string text = "{\"k\":\"caf\xC3\xA9\xEF\xBF\xBD\"}";
    // Logged by the call itself; the answer may be logged before the snapshot on a slow machine.
    EXPECT_NE(std::find(logWhenReturned_.begin(), logWhenReturned_.end(), "Request : " + text), logWhenReturned_.end());
    std::vector<std::string> bodies;  // every body logged, in order: the GET's answer, then the POST and its answer
    for (const auto& l : logLines())
        if (l.starts_with("Request : ") || l.starts_with("Response: ")) bodies.push_back(l);
    EXPECT_EQ(bodies, (std::vector<std::string>{"Response: {\"status\":\"OK\",\"text\":\"caf\xC3\xA9\"}",
                          "Request : " + text, "Response: " + text}));
}

TEST_F(Manager, ThrowingCallbacksAreContained) {
    // On the JSON branch a throwing success callback is logged, then the XML reading: "Server Error".
    const auto successThrows = [](bool success) {
        if (success) throw std::runtime_error("host bug");
    };
    EXPECT_EQ(events(execute(reply(R"({"a":1})"), successThrows)),
        (std::vector<std::string>{R"(success {"a":1})", kServerError}));
    // Outside it (XML branch, transport failure) the throw, of any type, ends the callback and nothing else;
    // the session logs it.
    EXPECT_EQ(execute(reply("<r><a>1</a></r>"), [](bool) { throw std::runtime_error("bug"); }).size(), 1u);
    const auto lost = execute(get(server.url("/close")), [](bool) { throw 42; });
    ASSERT_TRUE(lost.size() == 1 && lost[0].failure);
    EXPECT_EQ(lost[0].failure->code(), URLErrorNetworkConnectionLost) << "the session's error, unchanged";
    EXPECT_EQ(events(execute(reply(R"({"still":"alive"})"))), std::vector<std::string>{R"(success {"still":"alive"})"});
    const auto lines = logLines();
    for (const char* logged : {"threw (host bug)", "completion handler threw: bug"})
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l.find(logged) != l.npos; }))
            << logged;
}

TEST_F(Manager, JSONPostRequestIsAnUnsignedPrettyPrintedPost) {
    const Dictionary params{{"a", Value(1)}, {"b", Value("x")}};
    URLRequest r = ZRBNetworkManager().getJSONPostRequest("https://h.example/p", params);
    EXPECT_EQ(r.URL() + " " + r.HTTPMethod(), "https://h.example/p POST");
    EXPECT_EQ(r.valueForHTTPHeaderField("Content-Type"), "application/json");
    EXPECT_FALSE(r.valueForHTTPHeaderField("Authorization"));
    ASSERT_TRUE(r.HTTPBody());
    EXPECT_NE(r.HTTPBody()->find('\n'), std::string::npos);
    EXPECT_EQ(JSONSerialization::JSONObjectWithData(*r.HTTPBody()).value, Value(params));
    for (const auto& none : {std::optional<Dictionary>(), std::optional(Dictionary{{"n", Value(1.0 / 0.0)}})})
        EXPECT_FALSE(ZRBNetworkManager().getJSONPostRequest("https://h.example/p", none).HTTPBody());
    ASSERT_FALSE(logLines().empty());
    EXPECT_EQ(logLines().back().rfind("NSJSONSerialization error:", 0), 0u) << logLines().back();
}

struct Load {
    const char* name;
    std::size_t total;                              // requests, started by 8 threads at once
    std::vector<std::pair<std::string, bool>> mix;  // path (every 12th request a stall) -> succeeds
    double timeout;
    const char* port;
    std::size_t toleranceMiB;
};
class ManyInFlight : public Manager, public ::testing::WithParamInterface<Load> {
protected:
    void round(std::size_t total) {
        const Load& l = GetParam();
        Outcomes out;
        std::barrier go(8);
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                go.arrive_and_wait();
                for (std::size_t i = t; i < total; i += 8) {
                    const std::string& path = l.mix[i % l.mix.size()].first;
                    const double timeout = path == "/stall" ? 0.5 : l.timeout;
                    ZRBNetworkManager().executeService(
                        get(server.url(path, l.port), timeout), out.success(i), out.failure(i));
                }
            });
        std::set<std::thread::id> starters;
        for (auto& th : threads) starters.insert(th.get_id());
        for (auto& th : threads) th.join();
        ASSERT_TRUE(out.waitFor(total, std::chrono::seconds(300))) << out.all().size() << " of " << total;
        fetch(get(server.url("/stats")));  // a second callback would have run by now
        std::vector<int> calls(total);
        std::size_t wrong = 0;
        for (const auto& o : out.all()) {
            ++calls[o.tag];
            EXPECT_EQ(starters.count(o.thread), 0u) << "a callback ran on a thread that started requests";
            if (bool(o.success) != l.mix[o.tag % l.mix.size()].second && ++wrong <= 5) ADD_FAILURE() << o.describe();
        }
        EXPECT_EQ(std::count(calls.begin(), calls.end(), 1), static_cast<long>(total))
            << "requests without exactly one callback";
    }
};

TEST_P(ManyInFlight, EachGetsExactlyOneCallbackAndMemoryReturnsToItsBaseline) {
    setLogHandler({});
    rlimit files{};  // one socket per request in flight, and the server's side of each
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    // Under sanitizers each request costs several times more: fewer, same shape.
    const std::size_t total = kSanitized ? std::min<std::size_t>(GetParam().total, 2000) : GetParam().total;
    if (files.rlim_cur < total + 256) GTEST_SKIP() << "needs " << total + 256 << " file descriptors";
    round(std::min<std::size_t>(total, 500));  // warm-up: session, thread, connection pool, TLS sessions
    const std::size_t baseline = residentBytes();
    round(total);
    // What the allocator and libcurl keep for reuse stays; a leaked buffer or answer per request shows.
    if (!kSanitized) {
        EXPECT_LT(residentBytes(), baseline + (GetParam().toleranceMiB << 20)) << "baseline " << baseline;
    }
}

const std::vector<std::pair<std::string, bool>> kFaultMix = {  // each answer 100 ms late: all in flight together
    {"/json?delay=100", true}, {"/xml?delay=100", true}, {"/gzip?delay=100", true}, {"/http10?delay=100", true},
    {"/reply?delay=100", false}, {"/close?delay=100", false}, {"/reset?delay=100", false}, {"/short?delay=100", false},
    {"/badchunk?delay=100", false}, {"/chunkcut?delay=100", false}, {"/missing?delay=100", false}, {"/stall", false}};

INSTANTIATE_TEST_SUITE_P(Rows, ManyInFlight,
    ::testing::Values(Load{"FiveHundredWithFaultsMixedIn", 500, kFaultMix, 30, "good", 8},
        // waiting for one of the session's connections is not idling
        Load{"TenThousandWithAShortTimeOut", 10000, {{"/json", true}}, 5, "plain", 32}),
    RowName());

}  // namespace
}  // namespace orvalis::testsupport
