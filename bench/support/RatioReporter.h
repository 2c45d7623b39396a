#pragma once

// Console reporter that, after the run, prints each measured case against its
// baseline as a ratio of CPU times (steadier than wall time on a shared machine). A case named "<group>/ours/<arg>" is
// compared with
// "<group>/baseline/<arg>"; with repetitions the medians are compared.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orvalis::bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (r.run_type == Run::RT_Aggregate && !median) continue;
            std::string name = r.run_name.str();
            // A median always wins over single iterations of the same case.
            if (median || !medians_.count(name)) times_[name] = r.GetAdjustedCPUTime();
            if (median) medians_[name] = true;
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\n%-40s %14s %14s %9s\n", "case (ours vs baseline)", "ours", "baseline", "ratio");
        for (const auto& [name, t] : times_) {
            auto pos = name.find("/ours");
            if (pos == std::string::npos) continue;
            std::string base = name.substr(0, pos) + "/baseline" + name.substr(pos + 5);
            auto it = times_.find(base);
            if (it == times_.end() || it->second <= 0) continue;
            std::printf("%-40s %14.1f %14.1f %9.4f\n", name.c_str(), t, it->second, t / it->second);
        }
        std::fflush(stdout);
    }

    /// Times by case name, in the unit the cases report.
    const std::map<std::string, double>& times() const { return times_; }

private:
    std::map<std::string, double> times_;
    std::map<std::string, bool> medians_;
};

/// main() for a benchmark program that reports ratios. Unless the command line
/// says otherwise, each case runs 5 times, interleaved at random with the
/// others, so that drift on a busy machine hits ours and the baseline alike.
/// After the run, `after` (if given) may print more from the reporter's times.
inline int runWithRatios(int argc, char** argv, std::function<void(const RatioReporter&)> after = {}) {
    std::vector<char*> args(argv, argv + argc);
    static char repetitions[] = "--benchmark_repetitions=5";
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + (argc > 0 ? 1 : 0), {repetitions, interleave});  // later flags win
    argc = static_cast<int>(args.size());
    argv = args.data();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (after) after(reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace orvalis::bench
