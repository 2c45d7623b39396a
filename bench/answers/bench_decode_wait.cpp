// How long a small operation waits while another's large answer decodes: its
// completion latency (p50/p99 over the rounds) behind a 100,000-key JSON and,
// separately, a 100,000-children XML answer, against the same small operation
// alone (the floor). Both go through the callback facade to the shared test
// server on 127.0.0.1, which sends a request's body back as its answer. In each
// round the small operation starts once the large answer has begun to decode
// (its "Response: " log line, written right before decoding).
//   bench_decode_wait [--rounds=N]   (default 100)
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <TestServer.h>
#include <support/WideAnswers.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

using Clock = std::chrono::steady_clock;

using orvalis::bench::wideJSON;
using orvalis::bench::wideXML;

// Counts events (completions, decodes begun) and lets the main thread wait for them.
struct Events {
    std::mutex m;
    std::condition_variable cv;
    int completed = 0;
    int decodesBegun = 0;
    void add(int Events::*which) {
        std::lock_guard lock(m);
        ++(this->*which);
        cv.notify_all();
    }
    void waitFor(int Events::*which, int n) {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return this->*which >= n; });
    }
};

Events events;

URLRequest echoing(const std::string& body) {
    URLRequest request(ts::sharedServer().url("/reply"));
    request.setHTTPMethod("POST");
    request.setHTTPBody(body);
    return request;
}

void start(const URLRequest& request) {
    ZRBNetworkManager().executeService(
        request, [](Dictionary) { events.add(&Events::completed); }, [](Error) { events.add(&Events::completed); });
}

// Milliseconds from start to callback of the small operation, once per round.
std::vector<double> smallLatencies(const URLRequest& small, const URLRequest* large, int rounds) {
    std::vector<double> ms;
    for (int r = 0; r < rounds; ++r) {
        int done = events.completed;
        if (large) {
            const int begun = events.decodesBegun;
            start(*large);
            events.waitFor(&Events::decodesBegun, begun + 1);
        }
        const auto t0 = Clock::now();
        start(small);
        events.waitFor(&Events::completed, ++done);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (large) events.waitFor(&Events::completed, ++done);  // the large one, before the next round
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

void row(const char* name, const std::vector<double>& ms) {
    auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))]; };
    std::printf("%-28s %10.2f %10.2f %10.2f\n", name, at(0.5), at(0.99), ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 100;
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
    // Only the large answers' lines are looked at; nothing is printed.
    setLogHandler([](std::string_view line) {
        if (line.starts_with("Response: ") && line.size() > 100000) events.add(&Events::decodesBegun);
    });
    const URLRequest small = echoing(R"({"status":"OK","amount":1250})");
    const URLRequest json = echoing(wideJSON(100000));
    const URLRequest xml = echoing(wideXML(100000));
    smallLatencies(small, nullptr, 5);  // connections and TLS sessions set up
    std::printf("%-28s %10s %10s %10s   (%d rounds)\n", "small operation latency", "p50 ms", "p99 ms", "max ms", rounds);
    row("alone (floor)", smallLatencies(small, nullptr, rounds));
    row("behind 100,000-key JSON", smallLatencies(small, &json, rounds));
    row("behind 100,000-children XML", smallLatencies(small, &xml, rounds));
    setLogHandler({});
    return 0;
}
