// Reading a 1 MB JSON document into Value: the library's reader (RapidJSON
// SAX) against the same Value building driven by nlohmann/json's SAX parser.
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

using namespace orvalis;

namespace {

// A deterministic ~1 MB document shaped like service answers: objects with
// short keys, strings with escapes, integers, doubles, booleans and nulls.
const std::string& document() {
    static const std::string doc = [] {
        std::string s = "{\"errors\":[],\"items\":[";
        unsigned x = 12345;
        auto next = [&] { return x = x * 1103515245u + 12345u; };
        for (int i = 0; s.size() < 1'000'000; ++i) {
            if (i) s += ',';
            s += "{\"id\":" + std::to_string(next() % 1000000) + ",\"amount\":" + std::to_string(next() % 100000) +
                 "." + std::to_string(next() % 100) + ",\"currency\":\"EUR\",\"name\":\"Customer \\\"" +
                 std::to_string(i) + "\\\" \\u00e9t\\u00e9\",\"active\":" + (next() % 2 ? "true" : "false") +
                 ",\"note\":null,\"tags\":[\"a\",\"bb\",\"ccc\"],\"address\":{\"line1\":\"" +
                 std::to_string(next() % 999) + " Main Street\",\"city\":\"Springfield\",\"zip\":\"" +
                 std::to_string(10000 + next() % 89999) + "\"}}";
        }
        s += "]}";
        return s;
    }();
    return doc;
}

// Same building rules as the library's reader, fed by nlohmann's SAX events.
class NlohmannBuilder : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return add(Value()); }
    bool boolean(bool b) override { return add(Value(b)); }
    bool number_integer(number_integer_t i) override { return add(Value(static_cast<std::int64_t>(i))); }
    bool number_unsigned(number_unsigned_t u) override {
        if (u <= static_cast<std::uint64_t>(INT64_MAX)) return add(Value(static_cast<std::int64_t>(u)));
        return add(Value(static_cast<double>(u)));
    }
    bool number_float(number_float_t d, const string_t&) override { return add(Value(d)); }
    bool string(string_t& s) override { return add(Value(std::string_view(s))); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override {
        if (open_.size() >= JSONSerialization::kMaxDepth) return false;
        Dictionary d;
        if (!add(Value(d))) return false;
        open_.emplace_back(std::in_place_type<Dictionary>, std::move(d));
        return true;
    }
    bool key(string_t& k) override {
        key_ = k;
        return true;
    }
    bool end_object() override {
        open_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override {
        if (open_.size() >= JSONSerialization::kMaxDepth) return false;
        Array a;
        if (!add(Value(a))) return false;
        open_.emplace_back(std::in_place_type<Array>, std::move(a));
        return true;
    }
    bool end_array() override {
        open_.pop_back();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

    std::optional<Value> root;

private:
    bool add(Value v) {
        if (open_.empty()) {
            if (root || (!v.isArray() && !v.isDictionary())) return false;
            root = std::move(v);
            return true;
        }
        if (auto* d = std::get_if<Dictionary>(&open_.back()))
            d->set(key_, std::move(v));
        else
            std::get<Array>(open_.back()).push_back(std::move(v));
        return true;
    }
    std::vector<std::variant<Array, Dictionary>> open_;
    std::string key_;
};

void BM_RapidJSON(benchmark::State& state) {
    const std::string& doc = document();
    for (auto _ : state) {
        auto v = JSONSerialization::JSONObjectWithData(doc).value;
        if (!v) state.SkipWithError("not parsed");
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}

void BM_Nlohmann(benchmark::State& state) {
    const std::string& doc = document();
    for (auto _ : state) {
        NlohmannBuilder b;
        bool ok = nlohmann::json::sax_parse(doc.begin(), doc.end(), &b);
        if (!ok || !b.root) state.SkipWithError("not parsed");
        benchmark::DoNotOptimize(b.root);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * doc.size()));
}

BENCHMARK(BM_RapidJSON)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_Nlohmann)->Unit(benchmark::kMillisecond)->Repetitions(5);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred)
                if (auto it = r.counters.find("bytes_per_second"); it != r.counters.end())
                    rates[r.run_name.function_name].push_back(it->second.value);
    }
    double median(const std::string& name) {
        auto v = rates[name];
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2] / 1e6;
    }
    std::map<std::string, std::vector<double>> rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    double rapid = reporter.median("BM_RapidJSON"), nl = reporter.median("BM_Nlohmann");
    std::printf("\nJSON -> Value, %zu bytes: RapidJSON %.1f MB/s, nlohmann %.1f MB/s, ratio %.2f\n", document().size(),
                rapid, nl, nl > 0 ? rapid / nl : 0);
    return 0;
}
