// Signatures per CPU second with the opt-in key cache (the key imported once,
// then only checked against its file) against the default, where every
// signature reads and imports the PKCS#12 file. "ours" is the cache, "baseline"
// the default: the printed ratio is cached CPU time / uncached CPU time, and
// its inverse the gain in signatures per CPU second.
#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/Utils/Crypto/KeyCache.h>
#include <Orvalis/Utils/Crypto/ZRBCryptoHelper.h>
#include <TestPki.h>
#include <support/RatioReporter.h>

#include <chrono>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

constexpr const char* kPassword = "bench-password";

const std::string kBaseString =
    "GET&https%3A%2F%2F127.0.0.1%3A40000%2Fquorvex%2Fpairingid&oauth_consumer_key%3Dbench-consumer"
    "%26oauth_nonce%3D123456789%26oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D1500000000%26oauth_version"
    "%3D1.0%26pairingTransactionId%3Dptx-0001%26userId%3Duser-42";

struct KeyDir {
    ts::TempDir dir;
    KeyDir() {
        ts::Identity id = ts::makeRsaIdentity(2048);
        dir.write("merchant.p12", ts::makeP12(id.key.get(), id.cert.get(), kPassword));
        Bundle::mainBundle().setResourcePath(dir.path().string());
        setLogHandler(LogHandler());  // the signer's lines are not what is measured
    }
};

void useCache(bool on) {
    static KeyDir keys;
    KeyCache::sharedInstance().setLifetime(on ? std::chrono::milliseconds(std::chrono::hours(1))
                                              : std::chrono::milliseconds(0));
}

// One RSA-SHA1 signature of a request's base string, key from the resources or from bytes in memory.
void signature(benchmark::State& state, bool cached, bool inMemory) {
    useCache(cached);
    ZRBCryptoHelper helper;
    const KeySource source = inMemory ? KeySource::memory(*detail::readWholeFile(
                                            Bundle::mainBundle().pathForResource("merchant", "p12").value_or("")))
                                      : KeySource::resource("merchant");
    const std::optional<std::string> password(kPassword);
    for (auto _ : state) {
        auto sig = helper.RSASHA1SSignature(kBaseString, source, password);
        if (!sig) state.SkipWithError("no signature");
        benchmark::DoNotOptimize(sig);
    }
    useCache(false);
}

// A whole signed GET as the services build it: nonce, base string, signature, header.
void signedGET(benchmark::State& state, bool cached) {
    useCache(cached);
    const ZRBOAuthProvider builder;
    Dictionary query{{"pairingTransactionId", "ptx-0001"}, {"userId", "user-42"}};
    for (auto _ : state) {
        URLRequest r = builder.GETURLRequest(OAuthURLSchemeTypeHTTPS, "127.0.0.1:40000", "/quorvex/pairingid", query,
                                             std::string("bench-consumer"), std::string("merchant"),
                                             std::string(kPassword), OAuthSignatureTypeRSASHA1);
        benchmark::DoNotOptimize(r);
    }
    useCache(false);
}

}  // namespace

BENCHMARK_CAPTURE(signature, cached, true, false)->Name("Signature2048/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(signature, uncached, false, false)->Name("Signature2048/baseline")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(signature, memoryCached, true, true)->Name("MemorySignature2048/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(signature, memoryUncached, false, true)
    ->Name("MemorySignature2048/baseline")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(signedGET, cached, true)->Name("SignedGET2048/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(signedGET, uncached, false)->Name("SignedGET2048/baseline")->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) { return orvalis::bench::runWithRatios(argc, argv); }
