// Small dictionaries, the shape most answers have: decoding a small JSON and
// a small XML answer, and lookups in dictionaries of 4, 8 and 16 keys. Uses
// only calls that every version of the library has, so compare_small.sh can
// build it against an older library and compare the two.
//   bench_small                  ns per call of each case (medians)
//   bench_small CASE CALLS       runs one case CALLS times (for callgrind)
//   bench_small --sizes          sizeof the value types
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Utils/XMLParser.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace orvalis;

namespace {

constexpr std::string_view kJSON =
    R"({"status":"OK","amount":1250,"currency":"EUR","id":"a1b2c3","created":"2024-01-01T00:00:00Z",)"
    R"("items":[{"sku":"x1","qty":2},{"sku":"y2","qty":1}],"paid":true,"fee":1.5,"note":null,)"
    R"("merchant":"Example Store Ltd"})";

constexpr std::string_view kXML =
    R"(<?xml version="1.0" encoding="UTF-8"?><PairingResponse><Status>OK</Status>)"
    R"(<PairingId>a1b2c3d4e5</PairingId><Amount currency="EUR">12.50</Amount><Created>2024-01-01</Created>)"
    R"(<Item sku="x1">2</Item><Item sku="y2">1</Item><Paid>true</Paid><Note/><Merchant>Example Store Ltd</Merchant>)"
    R"(</PairingResponse>)";

struct Lookup {
    Dictionary dictionary;
    std::vector<std::string> keys;
};

Lookup makeLookup(std::size_t width) {
    Lookup l;
    for (std::size_t i = 0; i < width; ++i) {
        l.keys.push_back("field" + std::to_string(i));
        l.dictionary.set(l.keys.back(), Value(static_cast<int>(i)));
    }
    return l;
}

std::size_t sink = 0;

// One call of each case; noinline so that callgrind can count it alone
// (--toggle-collect=*runCase*).
__attribute__((noinline)) void runCase(int which, const Lookup* lookup) {
    switch (which) {
        case 0: {
            auto v = JSONSerialization::JSONObjectWithData(kJSON).value;
            sink += v && v->isDictionary() ? v->asDictionary().size() : 0;
            break;
        }
        case 1: {
            XMLParser parser;
            auto d = parser.dictionaryWithData(kXML);
            sink += d ? d->size() : 0;
            break;
        }
        default:
            // Every key, then one that is absent.
            for (const std::string& k : lookup->keys) sink += lookup->dictionary.find(k) != nullptr;
            sink += lookup->dictionary.find("absent") != nullptr;
            break;
    }
}

struct Case {
    const char* name;
    int which;
    std::size_t width;  // lookups: dictionary width
};
constexpr Case kCases[] = {{"decode/json-12-keys", 0, 0},
                           {"decode/xml-10-children", 1, 0},
                           {"lookup/4-keys", 2, 4},
                           {"lookup/8-keys", 2, 8},
                           {"lookup/16-keys", 2, 16}};

const Case* findCase(std::string_view name) {
    for (const Case& c : kCases)
        if (name == c.name) return &c;
    return nullptr;
}

double medianNs(const Case& c, const Lookup& l, int runs, int calls) {
    std::vector<double> t;
    for (int r = 0; r < runs; ++r) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) runCase(c.which, &l);
        t.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() / calls);
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--sizes") == 0) {
        std::printf("sizeof(Dictionary) %zu\nsizeof(Value) %zu\nsizeof(DictionaryEntry) %zu\n", sizeof(Dictionary),
                    sizeof(Value), sizeof(DictionaryEntry));
        return 0;
    }
    if (argc == 3) {
        const Case* c = findCase(argv[1]);
        if (!c) {
            std::fprintf(stderr, "unknown case %s\n", argv[1]);
            return 2;
        }
        Lookup l = makeLookup(c->width);
        const int calls = std::atoi(argv[2]);
        for (int i = 0; i < calls; ++i) runCase(c->which, &l);
        return sink == 0 && calls > 0 ? 1 : 0;
    }
    for (const Case& c : kCases) {
        Lookup l = makeLookup(c.width);
        const int calls = c.which == 2 ? 200000 : 20000;
        double ns = medianNs(c, l, 15, calls);
        if (c.which == 2) ns /= static_cast<double>(c.width + 1);  // per lookup
        std::printf("%-24s %10.1f\n", c.name, ns);
    }
    return sink == 0 ? 1 : 0;
}
