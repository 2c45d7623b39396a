// CPU cost of whole operations (request object to callback: signing, TLS,
// HTTP, JSON or XML decoding) against their signatures alone. The signature
// reads and imports the PKCS#12 file every time and dominates; the rest of an
// operation should add little. Both cases count the CPU of every thread of
// this process; the sandbox runs in a process of its own.
// "handles" runs the same operations awaited through Client handles against
// the callback API: what the handles add per operation; "cface" the same
// through the C interface, with a C completion callback; "retry" the handles with
// the default retry policy on (no retry needed) against the policy off.
//
// "floor/*" and "perop/*" measure one operation at a time, key cache on, on a
// reused connection: the floors are an RSA-SHA1 signature with the key already
// loaded and a bare libcurl GET on one reused handle with the same header
// fields as the library's request; each face (callbacks,
// Operation::get(), co_await, C) is reported per operation and beyond the two
// floors, as CPU time here and as instructions under callgrind:
//   build/bench/operations/bench_operations --benchmark_filter='^(floor|perop)/'
//   bench/operations/count_instructions.sh   (instructions and system calls per operation)
// ORVALIS_BENCH_OPS sets how many operations each of these cases runs (default 1000).
#include <Orvalis/C/orvalis.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/Utils/Crypto/ZRBCryptoHelper.h>
#include <TestPki.h>
#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>
#include <Orvalis/Utils/Crypto/KeyCache.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <valgrind/callgrind.h>
#include <spawn.h>
#include <support/RatioReporter.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <coroutine>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

constexpr int kInFlight = 32;
constexpr const char* kPassword = "bench-password";
constexpr const char* kConsumerKey = "bench-consumer";

// A base string of the length a real request signs.
const std::string kBaseString =
    "GET&https%3A%2F%2F127.0.0.1%3A40000%2Fquorvex%2Fpairingid&oauth_consumer_key%3Dbench-consumer"
    "%26oauth_nonce%3D123456789%26oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D1500000000%26oauth_version"
    "%3D1.0%26pairingTransactionId%3Dptx-0001%26userId%3Duser-42";

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Keys, template and a sandbox process, for the whole program.
struct Setup {
    ts::TempDir dir;
    pid_t sandbox = -1;
    std::string host;
    std::string caFile;

    Setup() {
        ts::Identity merchant = ts::makeRsaIdentity(2048);
        dir.write("merchant.p12", ts::makeP12(merchant.key.get(), merchant.cert.get(), kPassword));
        auto certPath = dir.write("merchant.pem", ts::certPem(merchant.cert.get())).string();
        dir.write("AuthorizePairing.xml",
                  "<PairingDataRequest><OAuthToken>[OAuthToken]</OAuthToken>"
                  "<MerchantCheckoutId>[MerchantCheckoutId]</MerchantCheckoutId></PairingDataRequest>");
        const std::string portFile = (dir.path() / "port").string();
        caFile = (dir.path() / "sandbox.pem").string();
        const std::string logFile = (dir.path() / "sandbox.log").string();
        std::vector<std::string> args{
            ORVALIS_SANDBOX_PATH, "--merchant-cert", certPath, "--port-file", portFile, "--write-cert", caFile,
            "--consumer-key",     kConsumerKey, "--keep-alive", "60"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int rc = posix_spawn(&sandbox, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start the sandbox");
        std::string port;
        for (int i = 0; i < 200 && port.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            port = readAll(portFile);
        }
        if (port.empty()) throw std::runtime_error("the sandbox did not start");
        host = "127.0.0.1:" + std::to_string(std::stoi(port));
        URLSession::sharedSession().configuration().addTrustedCertificates(caFile);
        Bundle::mainBundle().setResourcePath(dir.path().string());
        setLogHandler(LogHandler());  // measure the work, not the diagnostic output
    }
    ~Setup() {
        if (sandbox > 0) {
            // A clean stop would wait for the idle connections to time out: not needed here.
            kill(sandbox, SIGKILL);
            int status = 0;
            waitpid(sandbox, &status, 0);
            std::string log = readAll((dir.path() / "sandbox.log").string());
            if (log.find("rejected:") != std::string::npos) std::fprintf(stderr, "sandbox rejected requests\n");
        }
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

template <class R>
R credentialed() {
    R r;
    r.setHost(setup().host);
    r.setConsumerKey(kConsumerKey);
    r.setMerechantKeyFileName("merchant");
    r.setMerechantKeyFilePassword(kPassword);
    return r;
}

// Starts one operation through the callback API.
struct ViaCallbacks {
    const ZRBOrvalis& orvalis;
    SuccessCallback ok;
    FailureCallback fail;
    static constexpr bool kStamped = false;  // the requests carry the credentials
    void operator()(const ZRBInitializePairingRequest& r) const { orvalis.initializePairing(r, ok, fail); }
    void operator()(const ZRBPairingIDServiceRequest& r) const { orvalis.getPairingIDService(r, ok, fail); }
    void operator()(const ZRBAuthorisePairingRequest& r) const { orvalis.authorizePairing(r, ok, fail); }
    void operator()(const ZRBPrecheckoutDataRequest& r) const { orvalis.getPreCheckoutDataService(r, ok, fail); }
    void operator()(const ZRBExpressCheckoutDataRequest& r) const { orvalis.expressCheckoutDataService(r, ok, fail); }
    void operator()(const ZRBPaymentDataRequest& r) const { orvalis.getChekcoutResourceService(r, ok, fail); }
};

struct Detached {
    struct promise_type {
        Detached get_return_object() { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { std::terminate(); }
    };
};

Detached awaitThen(Operation op, ViaCallbacks report) {
    OperationResult r = co_await op;
    if (r.succeeded()) {
        report.ok(*r.answer);
    } else {
        report.fail(*r.error);
    }
}

// Starts one operation through a Client (which stamps the credentials) and awaits it.
struct ViaHandle {
    const Client& client;
    ViaCallbacks report;
    static constexpr bool kStamped = true;
    void operator()(ZRBInitializePairingRequest r) const { awaitThen(client.initializePairing(std::move(r)), report); }
    void operator()(ZRBPairingIDServiceRequest r) const { awaitThen(client.getPairingId(std::move(r)), report); }
    void operator()(ZRBAuthorisePairingRequest r) const { awaitThen(client.authorizePairing(std::move(r)), report); }
    void operator()(ZRBPrecheckoutDataRequest r) const { awaitThen(client.getPrecheckoutData(std::move(r)), report); }
    void operator()(ZRBExpressCheckoutDataRequest r) const {
        awaitThen(client.expressCheckout(std::move(r)), report);
    }
    void operator()(ZRBPaymentDataRequest r) const { awaitThen(client.getPaymentData(std::move(r)), report); }
};

// Starts one operation through the C interface; its completion reports to the callbacks.
struct ViaC {
    const orvalis_client* client;
    ViaCallbacks report;
    static constexpr bool kStamped = true;
    static void completed(const orvalis_result* result, void* user) {
        auto* callbacks = static_cast<ViaCallbacks*>(user);
        if (orvalis_result_succeeded(result)) {
            callbacks->ok(Dictionary());
        } else {
            callbacks->fail(Error::withDescription("c", orvalis_result_error_code(result), "failed"));
        }
        delete callbacks;
    }
    template <class CRequest, class Start>
    void run(CRequest request, Start start) const {
        request.struct_size = sizeof(CRequest);
        auto* user = new ViaCallbacks(report);
        if (start(client, &request, nullptr, &completed, user, nullptr) != ORVALIS_OK) completed(nullptr, user);
    }
    static const char* text(const std::optional<std::string>& value) { return value ? value->c_str() : nullptr; }
    void operator()(const ZRBInitializePairingRequest& r) const {
        run(orvalis_initialize_pairing_request{0, text(r.checkoutID()), text(r.userId())}, orvalis_client_initialize_pairing);
    }
    void operator()(const ZRBPairingIDServiceRequest& r) const {
        run(orvalis_pairing_id_request{0, text(r.pairingTransactionId()), text(r.userId())}, orvalis_client_get_pairing_id);
    }
    void operator()(const ZRBAuthorisePairingRequest& r) const {
        run(orvalis_authorize_pairing_request{0, text(r.checkoutID()), text(r.pairingTransactionId())},
            orvalis_client_authorize_pairing);
    }
    void operator()(const ZRBPrecheckoutDataRequest& r) const {
        run(orvalis_precheckout_data_request{0, text(r.pairingId())}, orvalis_client_get_precheckout_data);
    }
    void operator()(const ZRBExpressCheckoutDataRequest& r) const {
        run(orvalis_express_checkout_request{0, text(r.checkoutId()), text(r.pairingId()),
                                             text(r.preCheckoutTransactionId()), r.amount(),
                                             text(r.currency()), text(r.cardId()), text(r.shippingAddressId()),
                                             r.digitalGoods() ? 1 : 0, nullptr, nullptr},
            orvalis_client_express_checkout);
    }
    void operator()(const ZRBPaymentDataRequest& r) const {
        run(orvalis_payment_data_request{0, text(r.transactionId()), text(r.cartId()), text(r.checkoutId()), nullptr,
                                         nullptr},
            orvalis_client_get_payment_data);
    }
};

template <class R, class Via>
R requestFor() {
    return Via::kStamped ? R() : credentialed<R>();
}

template <class Via>
void startOne(const Via& start, int i) {
    switch (i % 6) {
        case 0: {
            auto r = requestFor<ZRBInitializePairingRequest, Via>();
            r.setCheckoutID("chk-" + std::to_string(i));
            r.setUserId("user-42");
            start(r);
            break;
        }
        case 1: {
            auto r = requestFor<ZRBPairingIDServiceRequest, Via>();
            r.setPairingTransactionId("ptx-" + std::to_string(i));
            r.setUserId("user-42");
            start(r);
            break;
        }
        case 2: {
            auto r = requestFor<ZRBAuthorisePairingRequest, Via>();
            r.setCheckoutID("chk-" + std::to_string(i));
            r.setPairingTransactionId("ptx-" + std::to_string(i));
            start(r);
            break;
        }
        case 3: {
            auto r = requestFor<ZRBPrecheckoutDataRequest, Via>();
            r.setPairingId("pairing-" + std::to_string(i));
            start(r);
            break;
        }
        case 4: {
            auto r = requestFor<ZRBExpressCheckoutDataRequest, Via>();
            r.setCheckoutId("chk-" + std::to_string(i));
            r.setPairingId("pairing-1");
            r.setPreCheckoutTransactionId("pre-1");
            r.setAmount(19.99);
            r.setCurrency("EUR");
            r.setCardId("card-1");
            r.setShippingAddressId("ship-1");
            start(r);
            break;
        }
        default: {
            auto r = requestFor<ZRBPaymentDataRequest, Via>();
            r.setTransactionId("tx-" + std::to_string(i));
            r.setCheckoutId("chk-1");
            r.setCartId("cart-1");
            start(r);
            break;
        }
    }
}

// Starts one operation through a Client and blocks on Operation::get().
struct ViaGet {
    const Client& client;
    ViaCallbacks report;
    static constexpr bool kStamped = true;
    void finish(const OperationResult& r) const {
        if (r.succeeded()) {
            report.ok(*r.answer);
        } else {
            report.fail(*r.error);
        }
    }
    void operator()(ZRBPairingIDServiceRequest r) const { finish(client.getPairingId(std::move(r)).get()); }
    template <class R>
    void operator()(R) const {
        std::abort();  // one kind of request only
    }
};

enum class Face { Callbacks, Handles, HandlesWithoutRetry, C, Get };

int perOpCount() {
    const char* n = std::getenv("ORVALIS_BENCH_OPS");
    return n != nullptr && std::atoi(n) > 0 ? std::atoi(n) : 1000;
}

// Under callgrind, each measured loop's instructions go to a dump of their own.
struct CountedLoop {
    std::string name;
    explicit CountedLoop(std::string loop) : name(std::move(loop)) { CALLGRIND_ZERO_STATS; }
    ~CountedLoop() { CALLGRIND_DUMP_STATS_AT(name.c_str()); }
};

// kPerOp: one at a time, one kind of request, key cache on, warmed up first.
template <Face kFace, bool kPerOp = false>
void operations(benchmark::State& state) {
    setup();
    const int total = kPerOp ? perOpCount() : static_cast<int>(state.range(0));
    const int inFlightLimit = kPerOp ? 1 : kInFlight;
    if (kPerOp) KeyCache::sharedInstance().setLifetime(std::chrono::hours(1));
    ZRBOrvalis orvalis;
    ClientConfiguration configuration;
    configuration.host = setup().host;
    configuration.consumerKey = kConsumerKey;
    configuration.keyFileName = "merchant";
    configuration.keyFilePassword = kPassword;
    if (kFace == Face::HandlesWithoutRetry) configuration.retry.maxAttempts = 1;
    Client client(configuration);
    orvalis_client_config* cConfiguration = nullptr;
    orvalis_key_source* cKey = nullptr;
    orvalis_client* cClient = nullptr;
    if (orvalis_client_config_new(&cConfiguration) || orvalis_key_source_resource("merchant", &cKey) ||
        orvalis_client_config_set_host(cConfiguration, setup().host.c_str()) ||
        orvalis_client_config_set_consumer_key(cConfiguration, kConsumerKey) ||
        orvalis_client_config_set_key_source(cConfiguration, cKey) ||
        orvalis_client_config_set_key_password(cConfiguration, kPassword) || orvalis_client_new(cConfiguration, &cClient)) {
        state.SkipWithError("no C client");
    }
    orvalis_client_config_free(cConfiguration);
    orvalis_key_source_free(cKey);
    // A warm-up's failures are not the measure's: under valgrind the first connection can
    // outlast the server's patience while the trust store loads.
    auto run = [&](int count, bool warmUp = false) {
        std::mutex m;
        std::condition_variable cv;
        int inFlight = 0;
        int done = 0;
        std::atomic<int> failures{0};
        auto finish = [&] {
            std::lock_guard lock(m);
            --inFlight;
            ++done;
            cv.notify_all();
        };
        for (int n = 0; n < count; ++n) {
            const int i = kPerOp ? 6 * n + 1 : n;  // per operation: always a pairing id
            {
                std::unique_lock lock(m);
                if (!cv.wait_for(lock, std::chrono::minutes(5), [&] { return inFlight < inFlightLimit; })) {
                    std::fprintf(stderr, "no operation completed for 5 minutes (%d started, %d done)\n", i, done);
                    std::_Exit(1);  // pending callbacks refer to this frame
                }
                ++inFlight;
            }
            ViaCallbacks callbacks{
                orvalis, [&](Dictionary) { finish(); },
                [&](Error e) {
                    if (failures.fetch_add(1) == 0) std::fprintf(stderr, "first failure: %s\n", e.description().c_str());
                    finish();
                }};
            if constexpr (kFace == Face::Handles || kFace == Face::HandlesWithoutRetry) {
                startOne(ViaHandle{client, std::move(callbacks)}, i);
            } else if constexpr (kFace == Face::C) {
                startOne(ViaC{cClient, std::move(callbacks)}, i);
            } else if constexpr (kFace == Face::Get) {
                startOne(ViaGet{client, std::move(callbacks)}, i);
            } else {
                startOne(callbacks, i);
            }
        }
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, std::chrono::minutes(5), [&] { return done == count; })) {
            // The pending callbacks refer to this frame: stopping here is the only safe way out.
            std::fprintf(stderr, "operations did not complete within 5 minutes (%d of %d done)\n", done, count);
            std::_Exit(1);
        }
        if (failures.load() != 0 && !warmUp) state.SkipWithError("some operations failed");
    };
    if (kPerOp) run(8, true);  // the key imported, the connection open
    for (auto _ : state) {
        std::optional<CountedLoop> counted;
        if (kPerOp) {
            counted.emplace(kFace == Face::Callbacks ? "perop/facade"
                            : kFace == Face::Get     ? "perop/get"
                            : kFace == Face::C       ? "perop/c"
                                                     : "perop/co_await");
        }
        run(total);
    }
    if (kPerOp) KeyCache::sharedInstance().setLifetime(std::chrono::milliseconds(0));
    orvalis_client_free(cClient);
    state.SetItemsProcessed(state.iterations() * total);
}

void signatures(benchmark::State& state) {
    setup();
    const int total = static_cast<int>(state.range(0));
    const std::optional<std::string> key("merchant"), pass(kPassword);
    for (auto _ : state) {
        for (int i = 0; i < total; ++i) {
            auto sig = ZRBCryptoHelper().RSASHA1SSignature(kBaseString, key, pass);
            if (!sig) state.SkipWithError("no signature");
            benchmark::DoNotOptimize(sig);
        }
    }
    state.SetItemsProcessed(state.iterations() * total);
}

// Floor: the RSA-SHA1 signature of a request's base string (SHA-1, then the
// private-key operation on a context made once), the key imported once.
void signatureFloor(benchmark::State& state) {
    setup();
    const int total = perOpCount();
    PKCS12Identity identity = importPKCS12Identity(readAll((setup().dir.path() / "merchant.p12").string()), kPassword);
    EVP_PKEY_CTX* ctx = identity.key ? EVP_PKEY_CTX_new(identity.key.get(), nullptr) : nullptr;
    if (ctx == nullptr || EVP_PKEY_sign_init(ctx) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha1()) != 1) {
        state.SkipWithError("no key");
    }
    auto sign = [&] {
        unsigned char digest[EVP_MAX_MD_SIZE], sig[512];
        unsigned int digestLength = 0;
        std::size_t length = sizeof sig;
        if (EVP_Digest(kBaseString.data(), kBaseString.size(), digest, &digestLength, EVP_sha1(), nullptr) != 1 ||
            EVP_PKEY_sign(ctx, sig, &length, digest, digestLength) != 1) {
            state.SkipWithError("no signature");
        }
    };
    sign();
    for (auto _ : state) {
        CountedLoop counted("floor/signature");
        for (int i = 0; i < total; ++i) sign();
    }
    EVP_PKEY_CTX_free(ctx);
    state.SetItemsProcessed(state.iterations() * total);
}

// Floor: a bare libcurl request of the same service on one reused handle (and
// connection), as the library sends a pairing id request: GET, no body, the
// same header fields (a signed Authorization field of the library's making,
// libcurl's default Accept and the body headers suppressed, the same
// Accept-Encoding). Each request carries a field of its own (the server refuses
// a nonce seen before), signed before the counted loop: the signature is the
// other floor.
void getFloor(benchmark::State& state) {
    setup();
    const int total = perOpCount();
    Dictionary query;
    query.set("pairingTransactionId", "ptx-1");
    query.set("userId", "user-42");
    std::string url;
    std::vector<curl_slist*> headers;
    KeyCache::sharedInstance().setLifetime(std::chrono::hours(1));  // signed once per request, quicker with the key kept
    for (int i = 0; i <= total; ++i) {
        ZRBOAuthProvider signer = ZRBOAuthProvider::initWith(
            HTTPMethodTypeGET, OAuthURLSchemeTypeHTTPS, setup().host, "/quorvex/pairingid", query,
            std::string(kConsumerKey), std::string("merchant"), std::string(kPassword), OAuthSignatureTypeRSASHA1,
            std::nullopt);
        url = signer.URLWithQueriesParams();
        const std::string authorization = "Authorization: " + signer.oAuthHeader();
        curl_slist* list = nullptr;
        for (const char* line : {authorization.c_str(), "Content-Type:", "Expect:", "Accept:"})
            list = curl_slist_append(list, line);
        headers.push_back(list);
    }
    KeyCache::sharedInstance().setLifetime(std::chrono::milliseconds(0));
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    curl_easy_setopt(curl, CURLOPT_CAINFO, setup().caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char*, std::size_t size, std::size_t n, void*) { return size * n; });
    auto get = [&](int i) {
        long status = 0;
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers[static_cast<std::size_t>(i)]);
        if (curl_easy_perform(curl) != CURLE_OK || curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status != 200) {
            state.SkipWithError("GET failed");
        }
    };
    get(total);
    for (auto _ : state) {
        CountedLoop counted("floor/get");
        for (int i = 0; i < total; ++i) get(i);
    }
    curl_easy_cleanup(curl);
    for (curl_slist* list : headers) curl_slist_free_all(list);
    state.SetItemsProcessed(state.iterations() * total);
}

}  // namespace

BENCHMARK(signatureFloor)->Name("floor/signature")->Iterations(1)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(getFloor)->Name("floor/get")->Iterations(1)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(operations<Face::Callbacks, true>)
    ->Name("perop/facade")
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(operations<Face::Get, true>)
    ->Name("perop/get")
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(operations<Face::Handles, true>)
    ->Name("perop/co_await")
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(operations<Face::C, true>)->Name("perop/c")->Iterations(1)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

BENCHMARK(operations<Face::Callbacks>)
    ->Name("operations/ours")
    ->Arg(1000)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(signatures)
    ->Name("operations/baseline")
    ->Arg(1000)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(operations<Face::Handles>)
    ->Name("handles/ours")
    ->Arg(1000)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(operations<Face::Callbacks>)
    ->Name("handles/baseline")
    ->Arg(1000)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(operations<Face::C>)
    ->Name("cface/ours")
    ->Arg(1000)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(operations<Face::Callbacks>)
    ->Name("cface/baseline")
    ->Arg(1000)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK(operations<Face::Handles>)
    ->Name("retry/ours")
    ->Arg(1000)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(operations<Face::HandlesWithoutRetry>)
    ->Name("retry/baseline")
    ->Arg(1000)
    ->Iterations(1)
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keep what was measured if the run is cut short
    return orvalis::bench::runWithRatios(argc, argv, [](const orvalis::bench::RatioReporter& reporter) {
        const auto& t = reporter.times();  // milliseconds per iteration of perOpCount() operations
        auto perOp = [&](const std::string& name) {
            auto it = t.lower_bound(name + "/");  // the run names go on with "/iterations:1/..."
            return it == t.end() || it->first.rfind(name + "/", 0) != 0 ? -1.0 : it->second * 1000.0 / perOpCount();
        };
        const double sig = perOp("floor/signature"), get = perOp("floor/get");
        if (sig < 0 || get < 0) return;
        std::printf("\n%-20s %12s %14s %16s\n", "per operation", "CPU us", "x (sig + GET)", "beyond floors us");
        std::printf("%-20s %12.1f\n%-20s %12.1f\n", "floor/signature", sig, "floor/get", get);
        for (const char* face : {"perop/facade", "perop/get", "perop/co_await", "perop/c"}) {
            double us = perOp(face);
            if (us >= 0) std::printf("%-20s %12.1f %14.3f %16.1f\n", face, us, us / (sig + get), us - sig - get);
        }
    });
}
