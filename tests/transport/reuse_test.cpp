// Kept-alive connections that the server closes just as the client reuses them.
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <TestPki.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

TEST(ReuseTest, ConnectionClosedByTheServerAtReuseDoesNotFailTheRequest) {
    setLogHandler(LogHandler());
    ts::Identity ca = ts::makeTestCA();
    ts::Identity identity = ts::makeIssuedIdentity(ca, ts::localhostCertOptions());
    EVP_PKEY* key = identity.key.get();
    X509* cert = identity.cert.get();
    ts::TempDir dir;
    ASSERT_TRUE(URLSession::sharedSession().configuration().addTrustedCertificates(
        dir.write("server.pem", ts::certPem(ca.cert.get())).string()));

    httplib::SSLServer server([&](SSL_CTX& ctx) {
        return SSL_CTX_use_certificate(&ctx, cert) == 1 && SSL_CTX_use_PrivateKey(&ctx, key) == 1;
    });
    ASSERT_TRUE(server.is_valid());
    server.new_task_queue = [] { return new httplib::ThreadPool(40); };
    server.set_keep_alive_max_count(100000);
    server.set_keep_alive_timeout(1);  // idle connections close after one second
    int answered = 0;
    std::mutex answeredMutex;
    server.Post("/pay", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(answeredMutex);
        ++answered;
        res.set_content("{\"echo\":" + std::to_string(req.body.size()) + "}", "application/json;charset=UTF-8");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread listener([&] { server.listen_after_bind(); });
    for (int i = 0; i < 500 && !server.is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));

    // Bursts on all the connections, each after a pause close to the server's idle
    // limit, so that some are reused just as the server closes them.
    constexpr int kBurst = 32, kBursts = 8;
    const std::string url = "https://127.0.0.1:" + std::to_string(port) + "/pay";
    std::mutex m;
    std::condition_variable cv;
    int done = 0;
    std::vector<std::string> failures;
    for (int b = 0; b < kBursts; ++b) {
        if (b > 0) std::this_thread::sleep_for(std::chrono::milliseconds(985 + 5 * b));
        for (int i = 0; i < kBurst; ++i) {
            URLRequest request(url, URLRequestReloadIgnoringLocalCacheData, 20);
            request.setHTTPMethod("POST");
            request.setHTTPBody(std::string(200, 'p'));
            request.setValue("application/json", "Content-Type");
            URLSession::sharedSession()
                .dataTaskWithRequest(
                    request,
                    [&](std::optional<std::string> data, std::optional<HTTPURLResponse>, std::optional<Error> e) {
                        std::lock_guard lock(m);
                        ++done;
                        if (e)
                            failures.push_back(e->localizedDescription());
                        else if (data != "{\"echo\":200}")
                            failures.push_back("wrong body");
                        cv.notify_all();
                    })
                .resume();
        }
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return done == (b + 1) * kBurst; }));
    }
    server.stop();
    listener.join();
    EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
    // Each request reached the server exactly once: nothing was sent twice.
    EXPECT_EQ(answered, kBurst * kBursts);
    resetLogHandler();
}

}  // namespace
