// A signed GET with four query parameters, split in two: the signature part
// (key file read, PKCS#12 import, RSA) and everything else (encoding, sorting,
// base string, header, URL, request). "NonSignatureWork" reports everything
// else as a share of the whole request; "SignedGET" the whole request against
// the signature alone. Heap allocations per request are counted too.
#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/Utils/Crypto/ZRBCryptoHelper.h>
#include <TestPki.h>
#include <support/RatioReporter.h>

#include <atomic>
#include <cstdlib>
#include <new>

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {
std::atomic<std::size_t> gAllocations{0};
}

// Counting replacement of the global allocator (malloc/free underneath).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

const std::string kHost = "api.example.com";
const std::string kPath = "/quorvex/pairingid";
const std::optional<std::string> kConsumer("cK7qP2xY9zL4mN8vB3tR6wE1aS5dF0gH!1a2b3c4d");
const std::optional<std::string> kKey("merchant");
const std::optional<std::string> kPassword("password");

Dictionary query() {
    return Dictionary{{"pairingTransactionId", "8f1c2d3e-4b5a-6978-8a9b-0c1d2e3f4a5b"},
                      {"userId", "merchant.user+test@example.com"},
                      {"pairingDataTypes", "CARD,ADDRESS,PROFILE,REWARD_PROGRAM"},
                      {"checkoutId", "a4d6f8b0c2e4"}};
}

struct Setup {
    TempDir dir;
    Setup() {
        setLogHandler(nullptr);  // lines are not built when nobody reads them
        Identity id = makeRsaIdentity(2048);
        dir.write("merchant.p12", makeP12(id.key.get(), id.cert.get(), *kPassword));
        Bundle::mainBundle().setResourcePath(dir.path().string());
    }
};

void setup() { static Setup s; }

void buildRequest(benchmark::State& state, const std::optional<std::string>& key) {
    setup();
    const Dictionary q = query();
    ZRBOAuthProvider builder;
    std::size_t before = gAllocations.load();
    for (auto _ : state) {
        URLRequest r = builder.GETURLRequest(OAuthURLSchemeTypeHTTPS, kHost, kPath, q, kConsumer, key, kPassword,
                                             OAuthSignatureTypeRSASHA1);
        benchmark::DoNotOptimize(r);
    }
    state.counters["allocs/request"] =
        benchmark::Counter(static_cast<double>(gAllocations.load() - before) / static_cast<double>(state.iterations()));
}

// The whole signed request.
void wholeRequest(benchmark::State& state) { buildRequest(state, kKey); }
// Everything but the signature: no key file named, so no import and no RSA.
void withoutSignature(benchmark::State& state) { buildRequest(state, std::nullopt); }

// The signature part alone, over a base string of the same size.
void signatureOnly(benchmark::State& state) {
    setup();
    ZRBOAuthProvider p =
        ZRBOAuthProvider::initWith(HTTPMethodTypeGET, OAuthURLSchemeTypeHTTPS, kHost, kPath, query(), kConsumer,
                                   std::nullopt, kPassword, OAuthSignatureTypeRSASHA1, std::nullopt);
    const std::string base = *p.oAuthSignatureBaseString();
    ZRBCryptoHelper helper;
    for (auto _ : state) {
        auto sig = helper.RSASHA1SSignature(base, kKey, kPassword);
        if (!sig) state.SkipWithError("no signature");
        benchmark::DoNotOptimize(sig);
    }
}

void configure(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMicrosecond)->ReportAggregatesOnly(true);
}

}  // namespace

BENCHMARK(withoutSignature)->Name("NonSignatureWork/ours")->Apply(configure);
BENCHMARK(wholeRequest)->Name("NonSignatureWork/baseline")->Apply(configure);
BENCHMARK(wholeRequest)->Name("SignedGET/ours")->Apply(configure);
BENCHMARK(signatureOnly)->Name("SignedGET/baseline")->Apply(configure);

int main(int argc, char** argv) { return orvalis::bench::runWithRatios(argc, argv); }
