// The URL session against the test server: what goes out on the wire, how each transport failure
// is reported, time-outs, size caps, TLS checks and connection handling.
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Printers.h>
#include <TestServer.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <tuple>
#include <vector>

namespace orvalis::testsupport {
namespace {

class Transport : public ::testing::Test {
protected:
    TestServer& server = sharedServer();
};

struct Sent {
    const char* name;
    const char* method;
    std::optional<std::string> body;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order they must appear
    std::int64_t refusal = 0;                                  // the error of a request that must not be sent at all
    std::string url = "/echo";                                 // a path on the test server, or a whole URL
};
class RequestOnTheWire : public Transport, public ::testing::WithParamInterface<Sent> {};

TEST_P(RequestOnTheWire, GoesOutExactlyAsBuiltOrNotAtAll) {
    const Sent& c = GetParam();
    const long before = server.stat("/echo");
    URLRequest r = request(c.url[0] == '/' ? server.url(c.url) : c.url, c.method, c.body);
    for (const auto& [name, value] : c.headers) r.setValue(value, name);
    Outcome o = fetch(r);
    if (c.refusal != 0) {
        ASSERT_TRUE(o.error);
        EXPECT_EQ(o.error->domain(), URLErrorDomain);
        EXPECT_EQ(o.error->code(), c.refusal) << o.errorText();
        if (c.refusal == URLErrorBadRequest) {  // the field or method named, never a value (a credential perhaps)
            EXPECT_NE(o.errorText().find(c.headers.empty() ? c.method : c.headers[0].first), std::string::npos);
            EXPECT_EQ(o.errorText().find("Injected"), std::string::npos);
        }
        EXPECT_FALSE(o.data);
        EXPECT_EQ(server.stat("/echo"), before);
        return;
    }
    ASSERT_FALSE(o.error) << o.errorText();
    const size_t end = o.data->find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    const std::string head = o.data->substr(0, end + 2);
    auto line = [&](const std::string& start) { return head.find("\r\n" + start); };  // npos: no such header line
    EXPECT_EQ(head.rfind(std::string(c.method) + " " + c.url + " HTTP/1.1\r\n", 0), 0u) << head;
    size_t previous = 0;
    for (const auto& [name, value] : c.headers) {
        const size_t at = line(name + ": " + value + "\r\n");
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GT(at, previous) << name << " out of order";
        previous = at;
    }
    if (c.headers.empty()) { EXPECT_EQ(line("Content-Type:"), std::string::npos); }  // none added
    EXPECT_EQ(line("Expect:"), std::string::npos);
    // A User-Agent only when the request has one (a Client's is added by the client), then once.
    EXPECT_EQ(line("User-Agent:"), head.rfind("\r\nUser-Agent:")) << head;
    if (c.headers.empty()) { EXPECT_EQ(line("User-Agent:"), std::string::npos) << head; }
    EXPECT_EQ(o.data->substr(end + 4), c.body.value_or(""));
    if (c.body) { EXPECT_NE(line("Content-Length: " + std::to_string(c.body->size()) + "\r\n"), std::string::npos); }
    if (!c.body && std::string(c.method) == "GET") { EXPECT_EQ(line("Content-Length:"), std::string::npos); }
}

INSTANTIATE_TEST_SUITE_P(Rows, RequestOnTheWire,
    ::testing::Values(Sent{"PostWithoutBody", "POST", std::nullopt, {}},
        Sent{"OwnUserAgent", "GET", std::nullopt, {{"User-Agent", "Till/7"}}},
        Sent{"PostFormWithoutType", "POST", "a=1", {}}, Sent{"Put", "PUT", "x", {}},
        // as signed, not resolved: "/echo" would be another path than the one signed
        Sent{"DotSegmentsAsWritten", "GET", std::nullopt, {}, 0, "/echo/./../echo"},
        // large enough that libcurl would add "Expect: 100-continue" by itself
        Sent{"SignedXmlPost", "POST", "{\"caf\xC3\xA9\":\"x\"}\n" + std::string(3000, 'b'),
            {{"Content-Type", "application/xml;charset=UTF-8"},
                {"Authorization", "OAuth oauth_consumer_key=\"k\", oauth_signature=\"a%2Bb\""}}},
        Sent{"HeaderValueWithCRLF", "GET", {}, {{"X-Test", "a\r\nInjected: yes"}}, URLErrorBadRequest},
        Sent{"HeaderValueWithNUL", "GET", {}, {{"X-Test", std::string("a\0b", 3)}}, URLErrorBadRequest},
        Sent{"HeaderNameWithSpace", "GET", {}, {{"Bad Name", "v"}}, URLErrorBadRequest},
        Sent{"MethodWithSpace", "GE T", {}, {}, URLErrorBadRequest},
        Sent{"FileScheme", "GET", {}, {}, URLErrorUnsupportedURL, "file://localhost/answer.json"},
        Sent{"SpaceInPath", "GET", {}, {}, URLErrorBadURL, "/a b"}),
    RowName());

TEST_F(Transport, SteadyDripOutlastsTheIdleTimeOut) {
    // 0.5 s idle time-out; a byte every 0.1 s for 1 s. (A stall is a RetryRules row.) On a connection
    // already made: a first handshake (slow under a sanitizer on a loaded machine) is not what this measures.
    ASSERT_FALSE(fetch(get(server.url("/echo"))).error);
    Outcome o = fetch(get(server.url("/drip"), 0.5));
    ASSERT_FALSE(o.error) << o.errorText();
    EXPECT_EQ(*o.data, "{\"d\":\"dd\"}");
}

TEST_F(Transport, StatusAndHeadersOfAnAnswerAreDeliveredAndRedirectsNotFollowed) {
    Outcome moved = fetch(get(server.url("/redirect")));
    ASSERT_TRUE(moved.response) << moved.errorText();
    EXPECT_EQ(std::tuple(moved.response->statusCode, moved.response->valueForHTTPHeaderField("location"), moved.data),
        std::tuple(302, "/echo", "{\"moved\":true}"));
}

TEST_F(Transport, AnswersOverTheSizeCapFailAndLargeOnesArriveInOneBufferOfTheirSize) {
    auto& config = URLSession::sharedSession().configuration();
    const auto saved = config.maximumResponseSize();
    config.setMaximumResponseSize(1 << 20);
    const size_t peak = peakResidentBytes(), large = 20u << 20;
    Outcome bomb = fetch(get(server.url("/gzipbomb"), 30));  // 100 MiB inflated
    Outcome declared = fetch(get(server.url("/big?bytes=" + std::to_string((1 << 20) + 1))));
    Outcome fits = fetch(get(server.url("/big?bytes=" + std::to_string(1 << 20))));
    const size_t grown = peakResidentBytes() - peak;
    config.setMaximumResponseSize(large);  // above the default cap on purpose
    Outcome big = fetch(get(server.url("/big?bytes=" + std::to_string(large))), std::chrono::seconds(120));
    config.setMaximumResponseSize(saved);
    for (const Outcome* o : {&bomb, &declared})
        EXPECT_EQ(std::tuple(o->error ? o->error->code() : 0, o->data.has_value()),
            std::tuple(URLErrorDataLengthExceedsMaximum, false))
            << o->errorText();
    ASSERT_FALSE(fits.error) << fits.errorText();
    EXPECT_EQ(fits.data->size(), 1u << 20);
    if (!kSanitized) { EXPECT_LT(grown, size_t{64} << 20); }
    ASSERT_FALSE(big.error) << big.errorText();
    ASSERT_EQ(big.data->size(), large);
    EXPECT_LE(big.data->capacity(), large + 64);  // no doubling: memory bounded by the body
    for (size_t at : {size_t{0}, size_t{255}, size_t{4096 * 256 + 7}, large - 1})
        EXPECT_EQ(static_cast<unsigned char>((*big.data)[at]), at % 256) << at;
}

// Each GET follows a PUT with a body and a header of its own, and goes out on what that PUT used.
TEST_F(Transport, ConnectionsAreReusedAcrossTasksWithNothingOfOneCarriedIntoTheNext) {
    const long before = server.stat("connections");
    ASSERT_GE(before, 0);
    URLRequest put = request(server.url("/echo"), "PUT", "stale");
    put.setValue("stale", "X-Stale");
    for (int i = 0; i < 10; ++i) {
        ASSERT_FALSE(fetch(put).error);
        Outcome o = fetch(get(server.url("/echo")));
        ASSERT_TRUE(o.data) << o.errorText();
        EXPECT_EQ(o.data->rfind("GET /echo HTTP/1.1\r\n", 0), 0u) << *o.data;
        for (const char* stale : {"stale", "Content-"}) EXPECT_EQ(o.data->find(stale), std::string::npos) << *o.data;
    }
    EXPECT_LE(server.stat("connections") - before, 1);
}

// The server's close of an idle kept-alive connection (TLS close_notify) waits unread: the next request
// does not fail on that connection but goes out on a fresh one.
TEST_F(Transport, ARequestAfterTheServerClosedAnIdleConnectionGoesOutOnAFreshOne) {
    for (const char* method : {"GET", "POST"}) {
        URLRequest r = request(server.url("/reply", "idle"), method, std::nullopt, 20);
        if (method[0] == 'P') r.setHTTPBody(R"({"amount":"49.90"})");
        ASSERT_FALSE(fetch(r).error);
        for (int i = 0; i < 1000 && server.stat("idle open") != 0; ++i)  // the server's close, after 1 s idle
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(server.stat("idle open"), 0);
        const long connections = server.stat("connections");
        Outcome o = fetch(r);
        ASSERT_FALSE(o.error) << method << ": " << o.errorText();
        EXPECT_EQ(o.data, r.HTTPBody().value_or(""));
        EXPECT_GE(server.stat("connections") - connections, 1) << method;
    }
}

TEST_F(Transport, ARequestTheServerReadWholeIsNotSentAgainOnAnotherKeptAliveConnection) {
    std::vector<std::future<Outcome>> warm;  // several kept-alive connections to pick from
    for (int i = 0; i < 6; ++i) warm.push_back(start(get(server.url("/echo?delay=300"))));
    for (auto& w : warm) ASSERT_FALSE(w.get().error);
    const long before = std::max(0L, server.stat("/drop"));
    URLRequest r = request(server.url("/drop"), "POST", R"({"amount":"49.90"})");
    std::promise<std::optional<Error>> ended;
    auto task = URLSession::sharedSession().dataTaskWithRequest(
        r, [&](auto, auto, std::optional<Error> e) { ended.set_value(std::move(e)); });
    task.resume();
    std::optional<Error> error = ended.get_future().get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), URLErrorNetworkConnectionLost) << error->description();
    EXPECT_TRUE(task.requestMayHaveBeenSent());
    EXPECT_EQ(server.stat("/drop") - before, 1) << "arrived more than once";
}

// Plain-HTTP tasks open connections of their own rather than wait to learn whether one can be shared: the four
// are held together at the server. With no TLS phase their phases still never decrease. A task dropped
// unresumed never runs.
TEST_F(Transport, PlainHttpTasksDoNotQueueAndMeasurePhasesInOrderAndUnresumedOnesNeverRun) {
    std::atomic<int> unresumed{0};
    URLSession::sharedSession().dataTaskWithRequest(
        get(server.url("/echo", "plain")), [&](auto, auto, auto) { ++unresumed; });
    std::vector<std::promise<URLSessionTaskMetrics>> measured(4);
    std::vector<URLSessionDataTask> tasks;
    for (size_t i = 0; i < 4; ++i)
        tasks.push_back(URLSession::sharedSession().dataTaskWithRequest(get(server.url("/meet?n=4", "plain"), 20),
            [&, i](auto, auto, auto) { measured[i].set_value(tasks[i].metrics()); }));  // all pushed by then
    for (auto& t : tasks) t.resume();
    for (auto& p : measured) {
        const URLSessionTaskMetrics m = p.get_future().get();
        EXPECT_TRUE(m.nameLookup <= m.connect && m.connect <= m.secureConnection && m.secureConnection <= m.firstByte &&
                    m.firstByte <= m.total && m.total.count() > 0);
    }
    EXPECT_EQ(server.stat("held"), 4);
    EXPECT_EQ(unresumed.load(), 0);
}

TEST_F(Transport, PinnedPublicKeyIsEnforced) {
    auto& config = URLSession::sharedSession().configuration();
    const std::string wrongPin = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    // Pins are per host name, in any case; "localhost" is used by no other test. An open, unpinned connection
    // to the host must not bypass a pin set later.
    for (const auto& [host, pins, code] : std::vector<std::tuple<const char*, std::string, std::int64_t>>{
             {"localhost", "", 0}, {"LOCALHOST", wrongPin, URLErrorServerPublicKeyPinMismatch},
             {"localhost", wrongPin + ";" + server.goodPin(), 0}}) {
        ASSERT_TRUE(config.pinPublicKeys(host, pins));
        Outcome o = fetch(get(server.url("/echo", "good", "localhost")));
        EXPECT_EQ(o.error ? o.error->code() : 0, code) << pins << ": " << o.errorText();
    }
    ASSERT_TRUE(config.pinPublicKeys("localhost", ""));
    for (const std::string& bad :
        std::vector<std::string>{"sha256//short", "md5//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=", wrongPin + ";"})
        EXPECT_FALSE(config.pinPublicKeys("localhost", bad)) << bad;
    TempDir dir;
    EXPECT_FALSE(config.addTrustedCertificates((dir.path() / "absent.pem").string()));
    EXPECT_FALSE(config.addTrustedCertificates(dir.write("junk.pem", "not a certificate").string()));
}

}  // namespace
}  // namespace orvalis::testsupport
