#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "TestServer.h"
#include "TransportTestUtil.h"

namespace orvalis::transporttest {
namespace {

class URLSessionTest : public ::testing::Test {
protected:
    void SetUp() override { server_ = &sharedServer(); }
    TestServer* server_ = nullptr;
};

std::vector<std::string> lines(const std::string& head) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < head.size()) {
        size_t end = head.find("\r\n", at);
        if (end == std::string::npos) end = head.size();
        out.push_back(head.substr(at, end - at));
        at = end + 2;
    }
    return out;
}

// Splits an echoed request into its head lines and its body.
std::pair<std::vector<std::string>, std::string> splitEcho(const std::string& raw) {
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return {{}, {}};
    return {lines(raw.substr(0, end)), raw.substr(end + 4)};
}

size_t indexOf(const std::vector<std::string>& v, const std::string& line) {
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] == line) return i;
    return std::string::npos;
}

bool hasHeader(const std::vector<std::string>& v, const std::string& prefix) {
    for (const auto& l : v)
        if (l.size() >= prefix.size() && strncasecmp(l.c_str(), prefix.c_str(), prefix.size()) == 0) return true;
    return false;
}

TEST_F(URLSessionTest, PostGoesOutExactlyAsBuilt) {
    URLRequest r(server_->url("/echo"), URLRequestReloadIgnoringLocalCacheData, 10);
    r.setHTTPMethod("POST");
    const std::string body = "{\"caf\xC3\xA9\":\"x\"}\n" + std::string(3000, 'b');  // large enough for curl's Expect
    r.setHTTPBody(body);
    r.setValue("application/xml;charset=UTF-8", "Content-Type");
    r.setValue("OAuth oauth_consumer_key=\"k\", oauth_signature=\"a%2Bb\"", "Authorization");

    Outcome o = fetch(r);
    ASSERT_FALSE(o.error) << o.errorText();
    ASSERT_TRUE(o.data);
    auto [head, sent] = splitEcho(*o.data);
    ASSERT_FALSE(head.empty());
    EXPECT_EQ(head[0], "POST /echo HTTP/1.1");
    size_t type = indexOf(head, "Content-Type: application/xml;charset=UTF-8");
    size_t auth = indexOf(head, "Authorization: OAuth oauth_consumer_key=\"k\", oauth_signature=\"a%2Bb\"");
    ASSERT_NE(type, std::string::npos);
    ASSERT_NE(auth, std::string::npos);
    EXPECT_LT(type, auth);
    EXPECT_NE(indexOf(head, "Content-Length: " + std::to_string(body.size())), std::string::npos);
    EXPECT_FALSE(hasHeader(head, "Expect:"));
    EXPECT_EQ(sent, body);
    EXPECT_EQ(o.response->statusCode, 200);
}

TEST_F(URLSessionTest, NoHeaderOrBodyIsAddedThatTheRequestLacks) {
    struct Case {
        const char* method;
        std::optional<std::string> body;
    };
    for (const Case& c : {Case{"GET", std::nullopt}, Case{"POST", std::nullopt}, Case{"POST", std::string("a=1")},
                          Case{"PUT", std::string("x")}}) {
        URLRequest r(server_->url("/echo"), URLRequestReloadIgnoringLocalCacheData, 10);
        r.setHTTPMethod(c.method);
        r.setHTTPBody(c.body);
        Outcome o = fetch(r);
        ASSERT_FALSE(o.error) << c.method << ": " << o.errorText();
        auto [head, sent] = splitEcho(*o.data);
        ASSERT_FALSE(head.empty());
        EXPECT_EQ(head[0], std::string(c.method) + " /echo HTTP/1.1");
        EXPECT_FALSE(hasHeader(head, "Content-Type:")) << c.method;
        EXPECT_FALSE(hasHeader(head, "Expect:")) << c.method;
        EXPECT_EQ(sent, c.body.value_or(""));
        if (!c.body && std::string(c.method) == "GET") {
            EXPECT_FALSE(hasHeader(head, "Content-Length:"));
        }
    }
}

TEST_F(URLSessionTest, UnsafeRequestsAreRefusedBeforeSending) {
    struct Case {
        std::string url;
        std::string header;
        std::string value;
        std::string method;
        std::int64_t code;
    };
    const std::string ok = server_->url("/echo");
    const std::vector<Case> cases = {
        {ok, "X-Test", "a\r\nInjected: yes", "GET", URLErrorBadRequest},
        {ok, "X-Test", std::string("a\0b", 3), "GET", URLErrorBadRequest},
        {ok, "Bad Name", "v", "GET", URLErrorBadRequest},
        {ok, "X-Test", "v", "GE T", URLErrorBadRequest},
        {"file://localhost/answer.json", "X-Test", "v", "GET", URLErrorUnsupportedURL},
        {"ftp://127.0.0.1/", "X-Test", "v", "GET", URLErrorUnsupportedURL},
        {"https://127.0.0.1:" + std::to_string(server_->port("good")) + "/a b", "X-Test", "v", "GET", URLErrorBadURL},
    };
    for (const Case& c : cases) {
        URLRequest r(c.url, URLRequestReloadIgnoringLocalCacheData, 10);
        r.setHTTPMethod(c.method);
        r.setValue(c.value, c.header);
        Outcome o = fetch(r);
        ASSERT_TRUE(o.error) << c.url << " " << c.header;
        EXPECT_EQ(o.error->domain(), URLErrorDomain);
        EXPECT_EQ(o.error->code(), c.code) << c.url << ": " << o.errorText();
        EXPECT_FALSE(o.data);
    }
}

TEST_F(URLSessionTest, TransportFailuresBecomeSessionErrors) {
    struct Case {
        std::string url;
        std::int64_t code;
    };
    const std::vector<Case> cases = {
        {server_->url("/echo", "wrong"), URLErrorServerCertificateUntrusted},
        {server_->url("/echo", "self"), URLErrorServerCertificateUntrusted},
        {server_->url("/echo", "expired"), URLErrorServerCertificateUntrusted},
        {server_->url("/echo", "future"), URLErrorServerCertificateUntrusted},
        {server_->url("/badgzip"), URLErrorCannotDecodeContentData},
        {server_->url("/echo", "tls11"), URLErrorSecureConnectionFailed},
        {"https://127.0.0.1:" + std::to_string(closedPort()) + "/", URLErrorCannotConnectToHost},
        {server_->url("/close"), URLErrorNetworkConnectionLost},
        {server_->url("/reset"), URLErrorNetworkConnectionLost},
        {server_->url("/short"), URLErrorNetworkConnectionLost},
        {server_->url("/chunkcut"), URLErrorNetworkConnectionLost},
    };
    std::vector<std::future<Outcome>> pending;
    for (const Case& c : cases) pending.push_back(start(get(c.url)));
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_EQ(pending[i].wait_for(std::chrono::seconds(30)), std::future_status::ready) << cases[i].url;
        Outcome o = pending[i].get();
        ASSERT_TRUE(o.error) << cases[i].url;
        EXPECT_EQ(o.error->domain(), URLErrorDomain);
        EXPECT_EQ(o.error->code(), cases[i].code) << cases[i].url << ": " << o.errorText();
        // libcurl's own code and message travel with ours.
        EXPECT_NE(o.error->localizedDescription().find("(libcurl "), std::string::npos) << o.errorText();
        EXPECT_EQ(o.error->userInfo().objectForKey(URLErrorFailingURLStringKey), Value(cases[i].url));
        EXPECT_FALSE(o.data) << "a partial body must never be delivered: " << cases[i].url;
    }
}

TEST_F(URLSessionTest, TimeOutCountsIdleTimeNotTotalTime) {
    // Both use a 1-second time-out: the stalled answer fails, the one that drips a
    // byte every quarter second for 2.5 s succeeds.
    auto stalled = start(get(server_->url("/stall"), 1.0));
    auto dripping = start(get(server_->url("/drip"), 1.0));
    ASSERT_EQ(stalled.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    Outcome s = stalled.get();
    ASSERT_TRUE(s.error);
    EXPECT_EQ(s.error->code(), URLErrorTimedOut) << s.errorText();
    EXPECT_FALSE(s.data);
    ASSERT_EQ(dripping.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    Outcome d = dripping.get();
    ASSERT_FALSE(d.error) << d.errorText();
    EXPECT_EQ(*d.data, "{\"d\":\"dd\"}");
}

TEST_F(URLSessionTest, AnswersAreDeliveredAsReceived) {
    struct Case {
        const char* path;
        long status;
        std::string bodyPrefix;
    };
    for (const Case& c : {Case{"/redirect", 302, "{\"moved\":true}"},  // never followed
                          Case{"/gzip", 200, "{\"compressed\":\"yes\",\"pad\":\"zzzz"},
                          Case{"/http10", 200, "{\"old\":\"http\"}"}, Case{"/missing", 404, ""}}) {
        Outcome o = fetch(get(server_->url(c.path)));
        ASSERT_FALSE(o.error) << c.path << ": " << o.errorText();
        ASSERT_TRUE(o.data && o.response);
        EXPECT_EQ(o.response->statusCode, c.status) << c.path;
        EXPECT_EQ(o.data->substr(0, c.bodyPrefix.size()), c.bodyPrefix) << c.path;
    }
    Outcome redirect = fetch(get(server_->url("/redirect")));
    ASSERT_TRUE(redirect.response);
    EXPECT_EQ(redirect.response->valueForHTTPHeaderField("location"), "/echo");
}

TEST_F(URLSessionTest, LargeAnswerArrivesWholeInOneBufferOfItsSize) {
    const size_t size = 100u * 1024 * 1024;
    auto& config = URLSession::sharedSession().configuration();
    const auto saved = config.maximumResponseSize();
    config.setMaximumResponseSize(size);  // above the default cap on purpose
    Outcome o = fetch(get(server_->url("/big?" + std::to_string(size))), std::chrono::seconds(120));
    config.setMaximumResponseSize(saved);
    ASSERT_FALSE(o.error) << o.errorText();
    ASSERT_TRUE(o.data);
    ASSERT_EQ(o.data->size(), size);
    EXPECT_LE(o.data->capacity(), size + 64);  // no doubling: memory bounded by the body
    for (size_t at : {size_t{0}, size_t{255}, size_t{4096 * 256 + 7}, size - 1})
        EXPECT_EQ(static_cast<unsigned char>((*o.data)[at]), at % 256) << at;
}

TEST_F(URLSessionTest, AnswerOverTheSizeCapFailsIncludingDecompressionBombs) {
    auto& config = URLSession::sharedSession().configuration();
    const auto saved = config.maximumResponseSize();
    config.setMaximumResponseSize(1024 * 1024);
    Outcome bomb = fetch(get(server_->url("/gzipbomb")));
    Outcome declared = fetch(get(server_->url("/big?" + std::to_string(2 * 1024 * 1024))));
    Outcome fits = fetch(get(server_->url("/big?" + std::to_string(1024 * 1024))));
    config.setMaximumResponseSize(saved);
    for (const Outcome* o : {&bomb, &declared}) {
        ASSERT_TRUE(o->error);
        EXPECT_EQ(o->error->code(), URLErrorDataLengthExceedsMaximum) << o->errorText();
        EXPECT_FALSE(o->data);
    }
    ASSERT_FALSE(fits.error) << fits.errorText();
    EXPECT_EQ(fits.data->size(), 1024u * 1024);
}

int connectionCount(TestServer& server) {
    Outcome o = fetch(get(server.url("/stats")));
    if (!o.data) return -1;
    auto at = o.data->find("\"connections\": ");
    return at == std::string::npos ? -1 : std::stoi(o.data->substr(at + 15));
}

TEST_F(URLSessionTest, ConnectionsAreReusedAcrossTasks) {
    const int before = connectionCount(*server_);
    ASSERT_GE(before, 0);
    for (int i = 0; i < 20; ++i) {
        Outcome o = fetch(get(server_->url("/echo")));
        ASSERT_FALSE(o.error) << o.errorText();
    }
    EXPECT_LE(connectionCount(*server_) - before, 1);
}

TEST_F(URLSessionTest, PinnedPublicKeyIsEnforced) {
    auto& config = URLSession::sharedSession().configuration();
    // Pins are per host name; "localhost" is used by no other test.
    const std::string wrongPin = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    // An open, unpinned connection to the host must not bypass a pin set later.
    Outcome unpinned = fetch(get(server_->url("/echo", "good", "localhost")));
    ASSERT_FALSE(unpinned.error) << unpinned.errorText();
    ASSERT_TRUE(config.pinPublicKeys("LOCALHOST", wrongPin));
    Outcome mismatch = fetch(get(server_->url("/echo", "good", "localhost")));
    ASSERT_TRUE(config.pinPublicKeys("localhost", wrongPin + ";" + server_->goodPin()));
    Outcome match = fetch(get(server_->url("/echo", "good", "localhost")));
    ASSERT_TRUE(config.pinPublicKeys("localhost", ""));

    ASSERT_TRUE(mismatch.error);
    EXPECT_EQ(mismatch.error->code(), URLErrorServerPublicKeyPinMismatch) << mismatch.errorText();
    EXPECT_FALSE(match.error) << match.errorText();
    for (const char* bad : {"sha256//short", "md5//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=",
                            "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=;"}) {
        EXPECT_FALSE(config.pinPublicKeys("localhost", bad)) << bad;
    }
}

TEST_F(URLSessionTest, TrustedCertificatesNeedAReadablePemFile) {
    testsupport::TempDir dir;
    auto& config = URLSession::sharedSession().configuration();
    EXPECT_FALSE(config.addTrustedCertificates((dir.path() / "absent.pem").string()));
    EXPECT_FALSE(config.addTrustedCertificates(dir.write("junk.pem", "not a certificate").string()));
}

TEST_F(URLSessionTest, ThrowingCompletionDoesNotStopTheDeliveryThread) {
    struct Log {
        std::mutex m;
        std::condition_variable cv;
        std::vector<std::string> lines;
    };
    auto logged = std::make_shared<Log>();
    setLogHandler([logged](std::string_view line) {
        std::lock_guard lock(logged->m);
        logged->lines.emplace_back(line);
        logged->cv.notify_all();
    });
    for (int i = 0; i < 3; ++i) {
        URLSession::sharedSession()
            .dataTaskWithRequest(get(server_->url("/echo")),
                                 [](auto, auto, auto) { throw std::runtime_error("host failure"); })
            .resume();
    }
    {
        std::unique_lock lock(logged->m);
        ASSERT_TRUE(logged->cv.wait_for(lock, std::chrono::seconds(30), [&] { return logged->lines.size() >= 3; }));
        for (const auto& line : logged->lines) EXPECT_NE(line.find("host failure"), std::string::npos) << line;
    }
    resetLogHandler();
    Outcome after = fetch(get(server_->url("/echo")));
    EXPECT_FALSE(after.error) << after.errorText();
}

TEST_F(URLSessionTest, CompletionRunsOnceOffTheCallingThreadAndUnresumedTasksNeverRun) {
    std::atomic<int> unresumed{0};
    {
        auto task = URLSession::sharedSession().dataTaskWithRequest(get(server_->url("/echo")),
                                                                    [&](auto, auto, auto) { ++unresumed; });
    }
    auto task = URLSession::sharedSession().dataTaskWithRequest(get(server_->url("/echo")),
                                                                [&](auto, auto, auto) { ++unresumed; });
    Outcome o = fetch(get(server_->url("/echo")));
    ASSERT_FALSE(o.error) << o.errorText();
    EXPECT_NE(o.thread, std::this_thread::get_id());
    EXPECT_EQ(o.calls->load(), 1);
    EXPECT_EQ(unresumed.load(), 0);
}

}  // namespace
}  // namespace orvalis::transporttest
