// Cost of one signature as the signer makes it (the key file is looked up,
// read and imported anew every time) against the floor: the same read,
// PKCS12_parse and EVP_DigestSign done with OpenSSL directly.
#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/Crypto/CryptoKey.h>
#include <Orvalis/Utils/Crypto/ZRBCryptoHelper.h>
#include <TestPki.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <support/RatioReporter.h>

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

const std::string kBaseString =
    "GET&https%3A%2F%2Fapi.example.com%2Fquorvex%2Fpairingid&oauth_consumer_key%3DcK7qP2xY9zL4mN8vB3tR6wE1aS5dF0gH"
    "%26oauth_nonce%3D123456789%26oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D1500000000%26oauth_version"
    "%3D1.0%26pairingTransactionId%3Dt%252B2%26userId%3Da%252Fb";

struct KeyDir {
    TempDir dir;
    std::map<int, std::string> paths;
    KeyDir() {
        for (int bits : {2048, 4096}) {
            Identity id = makeRsaIdentity(bits);
            paths[bits] =
                dir.write("merchant" + std::to_string(bits) + ".p12", makeP12(id.key.get(), id.cert.get(), "password"))
                    .string();
        }
        Bundle::mainBundle().setResourcePath(dir.path().string());
    }
};

KeyDir& keys() {
    static KeyDir k;
    return k;
}

void ours(benchmark::State& state) {
    keys();
    const std::string name = "merchant" + std::to_string(state.range(0));
    const std::optional<std::string> pass("password");
    ZRBCryptoHelper helper;
    for (auto _ : state) {
        auto sig = helper.RSASHA1SSignature(kBaseString, name, pass);
        if (!sig) state.SkipWithError("no signature");
        benchmark::DoNotOptimize(sig);
    }
}

std::string readFile(const std::string& path) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    std::string out;
    char buf[65536];
    std::size_t n;
    while (f && (n = std::fread(buf, 1, sizeof buf, f.get())) > 0) out.append(buf, n);
    return out;
}

void baseline(benchmark::State& state) {
    const std::string path = keys().paths[static_cast<int>(state.range(0))];
    for (auto _ : state) {
        std::string der = readFile(path);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(der.size()));
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        STACK_OF(X509)* ca = nullptr;
        if (!p12 || PKCS12_parse(p12, "password", &key, &cert, &ca) != 1) state.SkipWithError("parse");
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        unsigned char sig[1024];
        std::size_t len = sizeof sig;
        if (EVP_DigestSignInit(md, nullptr, EVP_sha1(), nullptr, key) != 1 ||
            EVP_DigestSign(md, sig, &len, reinterpret_cast<const unsigned char*>(kBaseString.data()),
                           kBaseString.size()) != 1)
            state.SkipWithError("sign");
        benchmark::DoNotOptimize(sig);
        EVP_MD_CTX_free(md);
        EVP_PKEY_free(key);
        X509_free(cert);
        sk_X509_pop_free(ca, X509_free);
        PKCS12_free(p12);
    }
}

// The two halves apart: key import alone, and signing with a key in hand.
void importOurs(benchmark::State& state) {
    const std::string path = keys().paths[static_cast<int>(state.range(0))];
    for (auto _ : state) {
        PrivateKey key = importPKCS12PrivateKey(readFile(path), "password");
        if (!key) state.SkipWithError("import");
    }
}

void importBaseline(benchmark::State& state) {
    const std::string path = keys().paths[static_cast<int>(state.range(0))];
    for (auto _ : state) {
        std::string der = readFile(path);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(der.size()));
        EVP_PKEY* key = nullptr;
        X509* cert = nullptr;
        STACK_OF(X509)* ca = nullptr;
        if (!p12 || PKCS12_parse(p12, "password", &key, &cert, &ca) != 1) state.SkipWithError("parse");
        EVP_PKEY_free(key);
        X509_free(cert);
        sk_X509_pop_free(ca, X509_free);
        PKCS12_free(p12);
    }
}

void configure(benchmark::internal::Benchmark* b) {
    b->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond)->ReportAggregatesOnly(true);
}

}  // namespace

BENCHMARK(ours)->Name("RSASHA1SSignature/ours")->Apply(configure);
BENCHMARK(baseline)->Name("RSASHA1SSignature/baseline")->Apply(configure);
BENCHMARK(importOurs)->Name("PKCS12Import/ours")->Apply(configure);
BENCHMARK(importBaseline)->Name("PKCS12Import/baseline")->Apply(configure);

int main(int argc, char** argv) { return orvalis::bench::runWithRatios(argc, argv); }
