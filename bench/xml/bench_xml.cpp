// XML -> Dictionary against a bare expat pass over the same bytes and
// against expat plus the least any tree needs (every name, attribute and
// text copied into strings that are kept), peak memory of the tree, and XML
// writing speed. Usage:
//   bench_xml [--data=DIR] [benchmark flags]
//   bench_xml [--data=DIR] --once=KIND:DOCUMENT   one pass of bare, bound or
//       dictionary over records, text-heavy or deep, for instruction counts
//       (see count_instructions.sh)
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <benchmark/benchmark.h>
#include <expat.h>
#include <support/ProcessMemory.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

using namespace orvalis;

namespace {

struct Document {
    std::string name;
    std::string bytes;
};

std::vector<Document>& documents() {
    static std::vector<Document> docs;
    return docs;
}

// The library's event source: one call up to 16 MiB, 1 MiB pieces above.
constexpr std::size_t kOneCall = std::size_t{16} << 20;
constexpr std::size_t kChunk = std::size_t{1} << 20;

// Feeds bytes to p in the same chunks as the library's event source, so the
// ratios measure what is built on top of expat alone; frees p.
bool feed(XML_Parser p, std::string_view bytes) {
    const std::size_t piece = bytes.size() <= kOneCall ? kOneCall : kChunk;
    bool ok = true;
    std::size_t off = 0;
    do {
        std::size_t n = std::min(piece, bytes.size() - off);
        bool last = off + n == bytes.size();
        if (XML_Parse(p, bytes.data() + off, static_cast<int>(n), last) != XML_STATUS_OK) {
            ok = false;
            break;
        }
        off += n;
    } while (off < bytes.size());
    XML_ParserFree(p);
    return ok;
}

bool bareExpat(std::string_view bytes) {
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_SetElementHandler(
        p, [](void*, const XML_Char*, const XML_Char**) {}, [](void*, const XML_Char*) {});
    XML_SetCharacterDataHandler(p, [](void*, const XML_Char*, int) {});
    XML_SetCommentHandler(p, [](void*, const XML_Char*) {});
    XML_SetCdataSectionHandler(
        p, [](void*) {}, [](void*) {});
    return feed(p, bytes);
}

// What any tree of the document needs on top of expat: each name,
// attribute and text run copied into a string that lives to the end, with no
// structure around them. The converter cannot beat expat plus this. (A deque:
// strings are never moved once kept, as in a tree.)
struct Strings {
    std::deque<std::string> kept;
    std::string text;
    void endText() {
        if (!text.empty()) kept.push_back(std::move(text));
        text.clear();
    }
};

bool boundExpat(std::string_view bytes) {
    XML_Parser p = XML_ParserCreate(nullptr);
    Strings strings;
    XML_SetUserData(p, &strings);
    XML_SetElementHandler(
        p,
        [](void* user, const XML_Char* name, const XML_Char** atts) {
            auto& s = *static_cast<Strings*>(user);
            s.endText();
            s.kept.emplace_back(name);
            for (const XML_Char** a = atts; a[0]; a += 2) {
                s.kept.emplace_back(a[0]);
                s.kept.emplace_back(a[1]);
            }
        },
        [](void* user, const XML_Char*) { static_cast<Strings*>(user)->endText(); });
    XML_SetCharacterDataHandler(p, [](void* user, const XML_Char* s, int len) {
        static_cast<Strings*>(user)->text.append(s, static_cast<std::size_t>(len));
    });
    XML_SetCommentHandler(p, [](void*, const XML_Char*) {});
    XML_SetCdataSectionHandler(
        p, [](void*) {}, [](void*) {});
    const bool ok = feed(p, bytes);
    benchmark::DoNotOptimize(strings.kept.size());
    return ok;
}

void BM_BareExpat(benchmark::State& state, const Document* doc) {
    for (auto _ : state) benchmark::DoNotOptimize(bareExpat(doc->bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc->bytes.size()));
}

void BM_Bound(benchmark::State& state, const Document* doc) {
    for (auto _ : state) benchmark::DoNotOptimize(boundExpat(doc->bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc->bytes.size()));
}

void BM_Dictionary(benchmark::State& state, const Document* doc) {
    for (auto _ : state) {
        XMLParser parser;
        auto tree = parser.dictionaryWithData(doc->bytes);
        benchmark::DoNotOptimize(tree);
        // Freeing the tree is part of the cost (the optional dies here).
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc->bytes.size()));
}

void BM_XMLString(benchmark::State& state, const Document* doc) {
    XMLParser parser;
    Dictionary tree = *parser.dictionaryWithData(doc->bytes);
    std::size_t out = 0;
    for (auto _ : state) {
        std::string xml = XMLTree::XMLString(tree);
        out = xml.size();
        benchmark::DoNotOptimize(xml);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out));
    state.counters["output_MB"] = static_cast<double>(out) / 1e6;
}

// Peak resident memory the parse adds above what the process already holds
// (the input included), measured in a child process so that earlier runs'
// freed heap cannot hide it. Bytes, or -1.
long long peakAboveInput(const Document& doc, bool bare) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        long long result = -1;
        malloc_trim(0);                                 // free heap pages would otherwise hide what the tree takes
        std::ofstream("/proc/self/clear_refs") << "5";  // resets the peak to the current size
        long before = statusKB("VmRSS:");
        if (bare) {
            bool ok = bareExpat(doc.bytes);
            long peak = statusKB("VmHWM:");
            if (ok && before > 0 && peak > 0) result = (peak - before) * 1024LL;
        } else {
            XMLParser parser;
            auto tree = parser.dictionaryWithData(doc.bytes);
            long peak = statusKB("VmHWM:");
            if (tree && before > 0 && peak > 0) result = (peak - before) * 1024LL;
        }
        ssize_t w = write(fds[1], &result, sizeof result);
        (void)w;
        _exit(0);
    }
    close(fds[1]);
    long long result = -1;
    if (pid < 0 || read(fds[0], &result, sizeof result) != sizeof result) result = -1;
    close(fds[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    return result;
}

// One pass each, under names that callgrind's --toggle-collect can pick.
__attribute__((noinline)) bool onceBare(std::string_view bytes) { return bareExpat(bytes); }
__attribute__((noinline)) bool onceBound(std::string_view bytes) { return boundExpat(bytes); }
__attribute__((noinline)) bool onceDictionary(std::string_view bytes) {
    XMLParser parser;
    return parser.dictionaryWithData(bytes).has_value();
}

// Keeps the per-repetition times so the summary can compare medians.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations == 0) continue;
            auto it = r.counters.find("bytes_per_second");
            if (it != r.counters.end()) rates_[r.run_name.function_name].push_back(it->second.value);
        }
    }
    double medianMBps(const std::string& name) const {
        auto it = rates_.find(name);
        if (it == rates_.end() || it->second.empty()) return 0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2] / 1e6;
    }

private:
    std::map<std::string, std::vector<double>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string dir = ORVALIS_BENCH_XML_DATA;
    std::string once;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--data=", 7) == 0)
            dir = argv[i] + 7;
        else if (std::strncmp(argv[i], "--once=", 7) == 0)
            once = argv[i] + 7;
        else
            args.push_back(argv[i]);
    }
    for (const char* name : {"records", "text-heavy", "deep"}) {
        std::ifstream in(dir + "/" + name + ".xml", std::ios::binary | std::ios::ate);
        std::string bytes(in ? static_cast<std::size_t>(in.tellg()) : 0, '\0');
        in.seekg(0);
        if (!in || bytes.empty() || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
            std::cerr << "cannot read " << dir << "/" << name << ".xml (run gen_xml.py DIR)\n";
            return 1;
        }
        documents().push_back({name, std::move(bytes)});
    }

    if (!once.empty()) {
        const std::string kind = once.substr(0, once.find(':'));
        for (const Document& d : documents()) {
            if (once != kind + ":" + d.name) continue;
            bool ok = kind == "bare"    ? onceBare(d.bytes)
                      : kind == "bound" ? onceBound(d.bytes)
                                        : kind == "dictionary" && onceDictionary(d.bytes);
            return ok ? 0 : 1;
        }
        std::cerr << "unknown --once=" << once << "\n";
        return 2;
    }

    // Memory first, before any timed run has grown the heap.
    std::map<std::string, double> memory, bareMemory;
    for (const Document& d : documents()) {
        memory[d.name] = static_cast<double>(peakAboveInput(d, false)) / static_cast<double>(d.bytes.size());
        bareMemory[d.name] = static_cast<double>(peakAboveInput(d, true)) / static_cast<double>(d.bytes.size());
    }

    for (const Document& d : documents()) {
        benchmark::RegisterBenchmark(("bare_expat/" + d.name).c_str(), BM_BareExpat, &d)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(5);
        benchmark::RegisterBenchmark(("expat_bound/" + d.name).c_str(), BM_Bound, &d)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(5);
        benchmark::RegisterBenchmark(("dictionaryWithData/" + d.name).c_str(), BM_Dictionary, &d)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(5);
        benchmark::RegisterBenchmark(("XMLString/" + d.name).c_str(), BM_XMLString, &d)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(5);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // Speeds are fractions of bare expat's: the bound is what expat plus the
    // least a tree needs reaches, so dictionary/bound says how close the
    // converter comes to what this reader interface allows.
    const std::map<std::string, std::pair<double, double>> targets = {
        {"records", {0.85, 5.0}}, {"text-heavy", {0.85, 2.0}}, {"deep", {0.85, 8.0}}};
    std::printf("\n%-11s %10s %10s %10s %7s %7s %7s %7s %10s %7s %12s %14s\n", "document", "expat MB/s", "bound MB/s",
                "dict MB/s", "bound", "ratio", "target", "of bound", "peak/doc", "target", "(expat alone)",
                "XMLString MB/s");
    for (const Document& d : documents()) {
        double bare = reporter.medianMBps("bare_expat/" + d.name);
        double bound = reporter.medianMBps("expat_bound/" + d.name);
        double dict = reporter.medianMBps("dictionaryWithData/" + d.name);
        double write = reporter.medianMBps("XMLString/" + d.name);
        auto [speedTarget, memTarget] = targets.at(d.name);
        std::printf("%-11s %10.1f %10.1f %10.1f %7.2f %7.2f %7.2f %7.2f %10.2f %7.1f %12.2f %14.1f\n", d.name.c_str(),
                    bare, bound, dict, bare > 0 ? bound / bare : 0, bare > 0 ? dict / bare : 0, speedTarget,
                    bound > 0 ? dict / bound : 0, memory[d.name], memTarget, bareMemory[d.name], write);
    }
    return 0;
}
