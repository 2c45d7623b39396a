// Many requests in flight at once from several threads, with faults mixed
// in: every request gets exactly one callback, of the right kind, and the
// process's memory returns to its baseline afterwards.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>

#include "FaultServer.h"
#include "Ledger.h"

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
    {"/json?delay=400", 30, true},       {"/xml?delay=400", 30, true},
    {"/gzip?delay=400", 30, true},       {"/http10?delay=400", 30, true},
    {"/status500?delay=400", 30, true},  {"/empty?delay=400", 30, false},
    {"/badutf8?delay=400", 30, false},   {"/close?delay=400", 30, false},
    {"/reset?after=5&delay=400", 30, false}, {"/badchunk?delay=400", 30, false},
    {"/short?delay=400", 30, false},     {"/stall", 1, false},
};
constexpr std::size_t kMixSize = std::size(kMix);

// Each of `threads` threads starts its share of `total` requests at the same
// moment; returns once every callback came (or the deadline passed).
void round(const FaultServer& server, std::size_t total, unsigned threads, std::chrono::seconds limit,
           bool mixFaults) {
    Ledger ledger(total);
    std::barrier start(threads);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            start.arrive_and_wait();
            for (std::size_t i = t; i < total; i += threads) {
                const Mix& m = mixFaults ? kMix[i % kMixSize] : kMix[0];
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
        const Mix& m = mixFaults ? kMix[i % kMixSize] : kMix[0];
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
        server_ = std::make_unique<FaultServer>();
    }
    void TearDown() override {
        server_.reset();
        resetLogHandler();
    }
    std::unique_ptr<FaultServer> server_;
    rlim_t fileLimit_ = 0;
};

// Memory may grow by what the allocator and libcurl keep for reuse (pooled
// connections, DNS cache, arenas); a leak of even a few hundred bytes per
// request would exceed this after 1,000 requests.
constexpr std::size_t kTolerance = std::size_t{8} << 20;

TEST_F(Load, EightThreadsFiveHundredInFlightOneCallbackEachMemoryBackToBaseline) {
    round(*server_, 500, 8, 120s, true);  // warm-up: session, thread, connection pool
    const std::size_t baseline = residentBytes();
    round(*server_, 500, 8, 120s, true);
    round(*server_, 500, 8, 120s, true);
    const std::size_t after = residentBytes();
    if (!kSanitized) EXPECT_LT(after, baseline + kTolerance) << "baseline " << baseline << ", after " << after;
}

TEST_F(Load, TenThousandInFlightOneCallbackEach) {
    // Under sanitizers each request costs several times more: fewer, same shape.
    const std::size_t total = kSanitized ? 2000 : 10000;
    if (fileLimit_ < 2 * total + 256) GTEST_SKIP() << "needs " << 2 * total + 256 << " file descriptors";
    round(*server_, 200, 8, 60s, false);
    const std::size_t baseline = residentBytes();
    round(*server_, total, 8, 300s, false);
    const std::size_t after = residentBytes();
    if (!kSanitized) EXPECT_LT(after, baseline + 4 * kTolerance) << "baseline " << baseline << ", after " << after;
}

}  // namespace
}  // namespace orvalis::reliability
