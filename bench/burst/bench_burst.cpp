// A burst: N operations started from one thread (their signatures made on the start threads),
// timed until every one has completed against an in-process answerer. The floor is the same
// N requests prepared and signed one after another on one thread, measured in the same run,
// divided by the cores the start threads may use; and the same signatures made on plain threads
// side by side, which shows what the cores give together.
//
//   bench_burst [N]        (default 10000)
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Orvalis/ServiceInfrastructure/detail/StartThreads.h>
#include <Orvalis/ServiceModules/detail/ServiceSupport.h>
#include <TestPki.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

using namespace orvalis;
namespace ts = orvalis::testsupport;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// CPU time of the whole process: on a machine shared with other work, wall times tell the load,
// this tells what the burst costs beyond the signatures.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

ZRBPairingIDServiceRequest read(ClientConfiguration& c, int i) {
    ZRBPairingIDServiceRequest r;
    r.setPairingTransactionId("t-" + std::to_string(i));
    r.setUserId("u-1");
    r.setHost(*c.host);
    r.setConsumerKey(*c.consumerKey);
    r.setMerchantKeySource(*c.keySource);
    r.setMerechantKeyFilePassword(*c.keyFilePassword);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    ts::Identity id = ts::makeRsaIdentity(2048);
    // Both sides sign with a key imported once and kept, as a busy host does; no log lines.
    KeyCache::sharedInstance().setLifetime(std::chrono::hours(1));
    setLogHandler({});
    std::atomic<std::size_t> answered{0};
    ClientConfiguration c;
    c.host = "api.example.com", c.consumerKey = "bench-consumer";
    c.keySource = KeySource::memory(ts::makeP12(id.key.get(), id.cert.get(), "password"));
    c.keyFilePassword = "password";
    c.retry.maxAttempts = 1;
    c.answerer = [&answered](const URLRequest&) {
        ++answered;
        return AnswererReply::json(R"({"ok":true})");
    };
    const std::size_t cores = detail::startThreadCount();

    // Warm both paths (the key is imported once and kept), then the floor: one thread signing.
    detail::prepare(read(c, 0), detail::PreparePolicy{true});
    Client client(c);
    client.getPairingId(read(c, 0)).wait();
    Clock::time_point start = Clock::now();
    double cpu = cpuSeconds();
    for (int i = 0; i < n; ++i) {
        if (!detail::prepare(read(c, i), detail::PreparePolicy{true}).request) return std::puts("no signature"), 1;
    }
    const double oneThread = secondsSince(start), oneThreadCpu = cpuSeconds() - cpu;

    // The same signatures on as many plain threads as there are start threads: what the cores
    // give when they sign side by side (two virtual cores may share one physical core's units).
    start = Clock::now();
    {
        std::vector<std::thread> signers;
        for (std::size_t t = 0; t < cores; ++t)
            signers.emplace_back([&, t] {
                for (int i = static_cast<int>(t); i < n; i += static_cast<int>(cores))
                    if (!detail::prepare(read(c, i), detail::PreparePolicy{true}).request) std::abort();
            });
        for (std::thread& t : signers) t.join();
    }
    const double sideBySide = secondsSince(start);

    start = Clock::now();
    cpu = cpuSeconds();
    for (int i = 0; i < n; ++i) client.getPairingId(read(c, i));
    const double started = secondsSince(start);
    if (!client.waitUntilIdle(std::chrono::minutes(10))) return std::puts("not idle after 10 minutes"), 1;
    const double burst = secondsSince(start), burstCpu = cpuSeconds() - cpu;

    const double floor = oneThread / static_cast<double>(cores);
    std::printf("%d operations, %zu start threads (usable cores)\n", n, cores);
    std::printf("  N signatures on one thread        %8.3f s  (%.1f us each)\n", oneThread, oneThread * 1e6 / n);
    std::printf("  floor: that / cores               %8.3f s\n", floor);
    std::printf("  burst: start calls returned after %8.3f s\n", started);
    std::printf("  the signatures on %zu plain threads %8.3f s  (%.2f x the floor: the cores side by side)\n", cores,
                sideBySide, sideBySide / floor);
    std::printf(
        "  burst: all completed after        %8.3f s  ratio to floor %.2f (target <= 1.15), to the plain threads "
        "%.2f\n",
        burst, burst / floor, burst / sideBySide);
    std::printf("  CPU: burst %.3f s against the signatures' %.3f s: ratio %.2f\n", burstCpu, oneThreadCpu,
                burstCpu / oneThreadCpu);
    return answered == static_cast<std::size_t>(n) + 1 ? 0 : (std::puts("an operation is missing"), 1);
}
