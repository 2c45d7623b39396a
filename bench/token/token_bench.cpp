// CPU time of one RSA-SHA1 signature of a request's base string made inside a
// SoftHSM2 token ("ours", through p11-kit and a pooled, logged-in session)
// against the same 2048-bit key in process ("baseline", kept by the key cache so
// that only the signature is measured). The printed ratio is token / in process.
// SoftHSM2 signs in the calling thread, so its work is in the thread's CPU time;
// a hardware token would add its own latency, not ours.
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Utils/Crypto/KeyCache.h>
#include <Orvalis/Utils/Crypto/ZRBCryptoHelper.h>
#include <SoftToken.h>
#include <support/RatioReporter.h>

#include <chrono>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

const std::string kBaseString =
    "GET&https%3A%2F%2F127.0.0.1%3A40000%2Fquorvex%2Fpairingid&oauth_consumer_key%3Dbench-consumer"
    "%26oauth_nonce%3D123456789%26oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D1500000000%26oauth_version"
    "%3D1.0%26pairingTransactionId%3Dptx-0001%26userId%3Duser-42";

struct Keys {
    ts::Identity merchant = ts::makeRsaIdentity(2048);
    ts::SoftToken token{merchant.key.get(), merchant.cert.get()};
    KeySource inProcess = KeySource::memory(ts::makeP12(merchant.key.get(), merchant.cert.get(), "pw"));
    KeySource inToken = KeySource::token(token.uri("merchant"), PinSource::value(ts::SoftToken::kPin));
    Keys() {
        setLogHandler(LogHandler());
        KeyCache::sharedInstance().setLifetime(std::chrono::hours(1));
    }
};

Keys& keys() {
    static Keys k;
    return k;
}

void signature(benchmark::State& state, bool token) {
    const KeySource& source = token ? keys().inToken : keys().inProcess;
    ZRBCryptoHelper helper;
    for (auto _ : state) {
        auto sig = helper.RSASHA1SSignature(kBaseString, source, std::string("pw"));
        if (!sig) state.SkipWithError("no signature");
        benchmark::DoNotOptimize(sig);
    }
}

}  // namespace

BENCHMARK_CAPTURE(signature, token, true)->Name("Signature2048/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(signature, inProcess, false)->Name("Signature2048/baseline")->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) { return orvalis::bench::runWithRatios(argc, argv); }
