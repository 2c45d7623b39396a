// Wide answers: decoding N distinct keys (JSON and XML, through the
// operations' completion steps) and an element of N children through
// orvalis-xml, at N = 1,000 and 100,000; growth is linear when the
// 100,000-key time is 100 times the 1,000-key one (ratio 1.0). Also small
// answers and lookups in small dictionaries, the cases an index must not slow.
//   bench_wide [--tool=PATH]
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <support/WideAnswers.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

using namespace orvalis;

namespace {

using Clock = std::chrono::steady_clock;

// Median seconds of one call of f, over runs batches of `calls` calls each.
double medianSeconds(const std::function<void()>& f, int runs, int calls) {
    std::vector<double> t;
    for (int r = 0; r < runs; ++r) {
        auto start = Clock::now();
        for (int c = 0; c < calls; ++c) f();
        t.push_back(std::chrono::duration<double>(Clock::now() - start).count() / calls);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

bool decode(const std::string& body) {
    bool ok = false;
    detail::runCompletionSteps(body, std::nullopt, [&](Dictionary) { ok = true; }, [&](Error) { ok = false; });
    return ok;
}

using orvalis::bench::wideJSON;
using orvalis::bench::wideXML;

// Seconds orvalis-xml takes over file (median of runs), or -1.
double toolSeconds(const std::string& tool, const std::string& file, int runs) {
    std::vector<double> t;
    for (int r = 0; r < runs; ++r) {
        std::string out = file + ".json";
        std::vector<std::string> args = {tool, "-c", "-o", out, file};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        auto start = Clock::now();
        pid_t pid;
        if (posix_spawn(&pid, tool.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
        t.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        std::remove(out.c_str());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

void row(const char* name, double small, double wide) {
    std::printf("%-26s %12.6f %12.4f %10.2f\n", name, small, wide, small > 0 ? wide / (100 * small) : 0);
}

}  // namespace

int main(int argc, char** argv) {
    setLogHandler(nullptr);  // lines are not built when nobody reads them: the decoding is measured
    std::string tool;
#ifdef ORVALIS_XML_TOOL
    tool = ORVALIS_XML_TOOL;
#endif
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--tool=", 7) == 0) tool = argv[i] + 7;

    std::printf("%-26s %12s %12s %10s\n", "wide case", "1,000 (s)", "100,000 (s)", "growth");
    for (auto [name, make] : {std::pair{"decode/json-keys", &wideJSON}, std::pair{"decode/xml-children", &wideXML}}) {
        const std::string small = make(1000), wide = make(100000);
        if (!decode(small) || !decode(wide)) {
            std::printf("%s: not delivered\n", name);
            return 1;
        }
        row(name, medianSeconds([&] { decode(small); }, 9, 50), medianSeconds([&] { decode(wide); }, 5, 1));
    }
    if (!tool.empty()) {
        char dir[] = "/tmp/bench_wide.XXXXXX";
        if (mkdtemp(dir)) {
            std::string small = std::string(dir) + "/small.xml", wide = std::string(dir) + "/wide.xml";
            std::ofstream(small) << wideXML(1000);
            std::ofstream(wide) << wideXML(100000);
            row("orvalis-xml/children", toolSeconds(tool, small, 9), toolSeconds(tool, wide, 5));
            std::remove(small.c_str());
            std::remove(wide.c_str());
            rmdir(dir);
        }
    }

    // Small dictionaries: what most answers are made of.
    std::printf("\n%-26s %12s\n", "small case", "ns per call");
    const std::string answer =
        R"({"status":"OK","amount":1250,"currency":"EUR","id":"a1b2c3","created":"2024-01-01T00:00:00Z",)"
        R"("items":[{"sku":"x1","qty":2},{"sku":"y2","qty":1}],"paid":true})";
    std::printf("%-26s %12.1f\n", "decode/small-json",
                1e9 * medianSeconds([&] { decode(answer); }, 15, 20000));
    for (std::size_t width : {4, 8, 16}) {
        Dictionary d;
        std::vector<std::string> keys;
        for (std::size_t i = 0; i < width; ++i) {
            keys.push_back("field" + std::to_string(i));
            d.set(keys.back(), Value(static_cast<int>(i)));
        }
        std::size_t hits = 0;
        double t = medianSeconds(
            [&] {
                for (const std::string& k : keys) hits += d.find(k) != nullptr;
                hits += d.find("absent") != nullptr;
            },
            15, 200000);
        std::string name = "lookup/" + std::to_string(width) + "-keys";
        std::printf("%-26s %12.1f%s\n", name.c_str(), 1e9 * t / static_cast<double>(width + 1), hits ? "" : " ");
    }
    return 0;
}
