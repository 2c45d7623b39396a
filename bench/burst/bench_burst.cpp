// A burst: N operations started from one thread (their signatures made on the start threads),
// timed until every one has completed against an in-process answerer. The floor is the same
// N requests prepared and signed one after another on one thread, measured in the same run,
// divided by the cores the start threads may use.
//
//   bench_burst [N]        (default 10000)
#include <MerchantClient.h>
#include <Orvalis/ServiceInfrastructure/detail/StartThreads.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace orvalis;
namespace ts = orvalis::testsupport;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

ZRBPairingIDServiceRequest read(ClientConfiguration& c, int i) {
    ZRBPairingIDServiceRequest r;
    r.setPairingTransactionId("t-" + std::to_string(i));
    r.setUserId("u-1");
    r.setHost(*c.host);
    r.setConsumerKey(*c.consumerKey);
    r.setMerechantKeyFileName(*c.keyFileName);
    r.setMerechantKeyFilePassword(*c.keyFilePassword);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    ts::Recorder server;
    ClientConfiguration c = ts::answered(server);
    c.retry.maxAttempts = 1;
    const std::size_t cores = detail::startThreadCount();

    // Warm both paths (the key is imported once and kept), then the floor: one thread signing.
    detail::prepare(read(c, 0), detail::PreparePolicy{true});
    Client client(c);
    client.getPairingId(read(c, 0)).wait();
    Clock::time_point start = Clock::now();
    for (int i = 0; i < n; ++i) {
        if (!detail::prepare(read(c, i), detail::PreparePolicy{true}).request) return std::puts("no signature"), 1;
    }
    const double oneThread = secondsSince(start);

    start = Clock::now();
    for (int i = 0; i < n; ++i) client.getPairingId(read(c, i));
    const double started = secondsSince(start);
    if (!client.waitUntilIdle(std::chrono::minutes(10))) return std::puts("not idle after 10 minutes"), 1;
    const double burst = secondsSince(start);

    const double floor = oneThread / static_cast<double>(cores);
    std::printf("%d operations, %zu start threads (usable cores)\n", n, cores);
    std::printf("  N signatures on one thread        %8.3f s  (%.1f us each)\n", oneThread, oneThread * 1e6 / n);
    std::printf("  floor: that / cores               %8.3f s\n", floor);
    std::printf("  burst: start calls returned after %8.3f s\n", started);
    std::printf("  burst: all completed after        %8.3f s  ratio to floor %.2f (target <= 1.15)\n", burst,
                burst / floor);
    return server.seen.size() == static_cast<std::size_t>(n) + 1 ? 0 : (std::puts("an operation is missing"), 1);
}
