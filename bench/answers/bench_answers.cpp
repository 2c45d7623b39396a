// Decoding the densest answers through the operations' completion steps:
// speed, and peak memory above the answer as a multiple of its size, through
// the callback facade's steps and through the decode stage that Client (and
// so C and Python) runs, which also keeps the server's error entry.
//   bench_answers [benchmark flags]
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/Networking/detail/AnswerDecoding.h>
#include <benchmark/benchmark.h>
#include <support/ProcessMemory.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

using namespace orvalis;

namespace {

struct Answer {
    std::string name;
    std::string body;
};

std::string repeat(std::string_view head, std::string_view item, std::size_t n, std::string_view tail) {
    std::string s(head);
    s.reserve(head.size() + item.size() * n + tail.size());
    for (std::size_t i = 0; i < n; ++i) s += item;
    s += tail;
    return s;
}

std::vector<Answer> answers() {
    std::vector<Answer> a;
    // 4 million empty objects, 12 MB.
    a.push_back({"json-empty-objects", repeat("{\"a\":[{}", ",{}", 4'000'000 - 1, "]}")});
    // 15 MiB of small nested elements, each holding one child with text.
    std::string item = "<e><f>1</f></e>";
    a.push_back({"xml-small-nested", repeat("<r>", item, (std::size_t{15} << 20) / item.size(), "</r>")});
    // 2 million nested elements.
    a.push_back({"xml-deep", repeat("", "<a>", 2'000'000, "") + repeat("", "</a>", 2'000'000, "")});
    return a;
}

// True when the answer reached onSuccess.
bool decode(const std::string& body) {
    bool ok = false;
    detail::runCompletionSteps(body, std::nullopt, [&](Dictionary) { ok = true; }, [&](Error) { ok = false; });
    return ok;
}

// The handles' decode stage: true when it gave an answer.
bool decodeForHandles(const std::string& body) { return detail::decodeAnswer(body, std::nullopt).answer.has_value(); }

void BM_Decode(benchmark::State& state, const Answer* a) {
    for (auto _ : state) benchmark::DoNotOptimize(decode(a->body));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * a->body.size()));
}

// Peak resident memory the decoding adds above the process (answer included),
// measured in a child so that earlier runs' freed heap cannot hide it.
double peakAboveAnswer(const Answer& a, bool* delivered, bool (*decode)(const std::string&)) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        double result[2] = {-1, 0};
        malloc_trim(0);
        std::ofstream("/proc/self/clear_refs") << "5";
        long before = statusKB("VmRSS:");
        bool ok = decode(a.body);
        long peak = statusKB("VmHWM:");
        if (before > 0 && peak > 0) result[0] = static_cast<double>(peak - before) * 1024.0;
        result[1] = ok;
        ssize_t w = write(fds[1], result, sizeof result);
        (void)w;
        _exit(0);
    }
    close(fds[1]);
    double result[2] = {-1, 0};
    if (pid < 0 || read(fds[0], result, sizeof result) != sizeof result) result[0] = -1;
    close(fds[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    *delivered = result[1] != 0;
    return result[0] / static_cast<double>(a.body.size());
}

}  // namespace

int main(int argc, char** argv) {
    static const std::vector<Answer> all = answers();
    std::vector<std::pair<double, bool>> memory;
    std::vector<double> handles;
    for (const Answer& a : all) {
        bool delivered = false, same = false;
        double m = peakAboveAnswer(a, &delivered, &decode);
        memory.emplace_back(m, delivered);
        handles.push_back(peakAboveAnswer(a, &same, &decodeForHandles));
    }
    for (const Answer& a : all)
        benchmark::RegisterBenchmark(("decode/" + a.name).c_str(), BM_Decode, &a)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(3)
            ->ReportAggregatesOnly(true);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n%-20s %10s %12s %15s %10s\n", "answer", "MB", "peak/answer", "handles ratio", "delivered");
    for (std::size_t i = 0; i < all.size(); ++i)
        std::printf("%-20s %10.1f %12.2f %15.2f %10s\n", all[i].name.c_str(),
                    static_cast<double>(all[i].body.size()) / 1e6, memory[i].first,
                    memory[i].first > 0 ? handles[i] / memory[i].first : -1.0, memory[i].second ? "yes" : "no (error)");
    return 0;
}
