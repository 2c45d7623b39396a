// Many requests in flight at once from several threads, with faults mixed
// in: every request gets exactly one callback, of the right kind, and the
// process's memory returns to its baseline afterwards.
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "FaultServer.h"
#include "Ledger.h"
#include "TlsFiles.h"

namespace orvalis::reliability {
namespace {

using namespace std::chrono_literals;

struct Mix {
    const char* path;
    double timeout;
    bool success;
};

// Every answer starts late, so that all requests of a round are in flight together.
const Mix kMix[] = {
    {"/json?delay=100", 30, true},      {"/xml?delay=100", 30, true},       {"/gzip?delay=100", 30, true},
    {"/http10?delay=100", 30, true},    {"/status500?delay=100", 30, true}, {"/empty?delay=100", 30, false},
    {"/badutf8?delay=100", 30, false},  {"/close?delay=100", 30, false},    {"/reset?after=5&delay=100", 30, false},
    {"/badchunk?delay=100", 30, false}, {"/short?delay=100", 30, false},    {"/stall", 1, false},
};

// Each of `threads` threads starts its share of `total` requests at the same
// moment; returns once every callback came (or the deadline passed).
void round(const FaultServer& server, std::size_t total, unsigned threads, std::chrono::seconds limit,
           std::span<const Mix> mix) {
    Ledger ledger(total);
    std::barrier start(threads);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (std::size_t i = t; i < total; i += threads) {
                const Mix& m = mix[i % mix.size()];
                URLRequest request(server.baseURL() + m.path, URLRequestReloadIgnoringLocalCacheData, m.timeout);
                ZRBNetworkManager().executeService(request, ledger.onSuccess(i), ledger.onFailure(i));
            }
        });
    }
    for (auto& w : workers) w.join();
    ASSERT_TRUE(ledger.waitAll(limit)) << ledger.calls() << " of " << total << " answered";
    std::this_thread::sleep_for(200ms);  // a second callback would show up by now
    ASSERT_EQ(ledger.calls(), total);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < total; ++i) {
        const Mix& m = mix[i % mix.size()];
        EXPECT_EQ(ledger.successes(i) + ledger.failures(i), 1) << i;
        if ((ledger.successes(i) == 1) != m.success && ++wrong <= 5) {
            ADD_FAILURE() << m.path << ": " << (ledger.error(i) ? ledger.error(i)->description() : "success");
        }
    }
    EXPECT_EQ(wrong, 0u);
}

class Load : public ::testing::Test {
protected:
    void SetUp() override {
        setLogHandler({});
        // One socket per request in flight, plus the server's side of each.
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
        getrlimit(RLIMIT_NOFILE, &lim);
        fileLimit_ = lim.rlim_cur;
        // Over TLS, as the services always are: the transport's connection
        // reuse and limits behave as they will in production.
        tls_ = std::make_unique<TlsFiles>();
        server_ = std::make_unique<FaultServer>(tls_->cert(), tls_->key());
    }
    void TearDown() override {
        server_.reset();
        resetLogHandler();
    }
    std::unique_ptr<TlsFiles> tls_;
    std::unique_ptr<FaultServer> server_;
    rlim_t fileLimit_ = 0;
};

// Memory may grow by what the allocator and libcurl keep for reuse (pooled
// connections, TLS sessions, arenas). Over 1,000 requests this catches a leak
// of a transfer's buffers or of an answer; smaller leaks are memcheck's and
// LeakSanitizer's to find.
constexpr std::size_t kTolerance = std::size_t{8} << 20;

TEST_F(Load, EightThreadsFiveHundredInFlightOneCallbackEachMemoryBackToBaseline) {
    round(*server_, 500, 8, 120s, kMix);  // warm-up: session, thread, connection pool
    if (kSanitized) return;               // no RSS figures under sanitizers: their leak checker covers it
    const std::size_t baseline = residentBytes();
    round(*server_, 500, 8, 120s, kMix);
    round(*server_, 500, 8, 120s, kMix);
    const std::size_t after = residentBytes();
    { EXPECT_LT(after, baseline + kTolerance) << "baseline " << baseline << ", after " << after; }
}

TEST_F(Load, TenThousandInFlightOneCallbackEach) {
    // Under sanitizers each request costs several times more: fewer, same shape.
    const std::size_t total = kSanitized ? 2000 : 10000;
    if (fileLimit_ < total + 256) GTEST_SKIP() << "needs " << total + 256 << " file descriptors";
    // A short time-out: the whole round takes longer, but waiting for one of
    // the session's connections is not idling.
    const Mix plain[] = {{"/json", 3, true}};
    round(*server_, 200, 8, 60s, plain);
    const std::size_t baseline = residentBytes();
    round(*server_, total, 8, 300s, plain);
    const std::size_t after = residentBytes();
    if (!kSanitized) {
        EXPECT_LT(after, baseline + 4 * kTolerance) << "baseline " << baseline << ", after " << after;
    }
}

}  // namespace
}  // namespace orvalis::reliability
