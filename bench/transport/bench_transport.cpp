// Throughput of ZRBNetworkManager (signed-request path, JSON decoding included)
// against a bare libcurl multi loop doing the same GETs, both against one local
// HTTPS server in this process. Prints the ratios at the end.
//
//   bench_transport [--benchmark_filter=...]
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kRequests = 2000;
constexpr int kInFlight = 32;

std::atomic<long> g_handshakes{0};

void countHandshakes(const SSL*, int where, int) {
    if (where & SSL_CB_HANDSHAKE_DONE) g_handshakes.fetch_add(1, std::memory_order_relaxed);
}

std::string jsonAnswer() {
    std::string s = "{\"status\":\"ok\",\"items\":[";
    for (int i = 0; s.size() < 1000; ++i)
        s += (i ? "," : "") + std::string("{\"id\":") + std::to_string(i) + ",\"n\":\"item\"}";
    return s + "]}";
}

// A throw-away self-signed P-256 certificate for 127.0.0.1, made at start-up.
struct Identity {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    Identity() {
        key = EVP_EC_gen("P-256");
        cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
        for (auto [nid, value] :
             {std::pair{NID_subject_alt_name, "IP:127.0.0.1"}, std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
            X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
            X509_add_ext(cert, ext, -1);
            X509_EXTENSION_free(ext);
        }
        X509_sign(cert, key, EVP_sha256());
    }
    ~Identity() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

struct Server {
    Identity id;
    httplib::SSLServer server{[this](SSL_CTX& ctx) {
        SSL_CTX_use_certificate(&ctx, id.cert);
        SSL_CTX_use_PrivateKey(&ctx, id.key);
        SSL_CTX_set_info_callback(&ctx, &countHandshakes);
        return true;
    }};
    std::thread thread;
    int port = 0;
    std::string certFile;

    Server() {
        const std::string body = jsonAnswer();
        // One server thread per open connection: room for both clients' idle ones.
        server.new_task_queue = [] { return new httplib::ThreadPool(4 * kInFlight + 16); };
        server.set_tcp_nodelay(true);  // else Nagle and delayed ACKs cap each connection at ~25 answers/s
        server.set_keep_alive_max_count(1000000);
        server.set_keep_alive_timeout(30);
        server.Get("/json", [body](const httplib::Request&, httplib::Response& res) {
            res.set_content(body, "application/json");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        certFile = (std::filesystem::temp_directory_path() / ("bench-transport-" + std::to_string(getpid()) + ".pem"))
                       .string();
        FILE* f = std::fopen(certFile.c_str(), "w");
        PEM_write_X509(f, id.cert);
        std::fclose(f);
    }
    ~Server() {
        server.stop();
        thread.join();
        std::filesystem::remove(certFile);
    }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(port) + "/json"; }
};

Server& server() {
    static Server s;
    return s;
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

struct Figures {
    double rate = 0;
    double handshakes = 0;
    double cpuPerRequestMs = 0;
};
Figures g_bare, g_ours, g_bareFresh, g_oursFresh;

size_t sink(char* p, size_t s, size_t n, void* user) {
    static_cast<std::string*>(user)->append(p, s * n);
    return s * n;
}

// The baseline: a plain libcurl multi loop with 32 easy handles. Like the library's
// session it lives across iterations, so both keep their connections warm.
struct BareClient {
    CURLM* multi = curl_multi_init();
    CURLSH* share = curl_share_init();
    curl_slist* closeHeader = curl_slist_append(nullptr, "Connection: close");
    std::vector<CURL*> easy = std::vector<CURL*>(kInFlight);
    std::vector<std::string> bodies = std::vector<std::string>(kInFlight);
    std::string url = server().url();

    BareClient() {
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        for (int i = 0; i < kInFlight; ++i) {
            CURL* h = easy[i] = curl_easy_init();
            curl_easy_setopt(h, CURLOPT_URL, url.c_str());
            curl_easy_setopt(h, CURLOPT_CAINFO, server().certFile.c_str());
            curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
            curl_easy_setopt(h, CURLOPT_SHARE, share);
            curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");  // the same request as the library's
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &sink);
            curl_easy_setopt(h, CURLOPT_WRITEDATA, &bodies[i]);
            curl_easy_setopt(h, CURLOPT_PRIVATE, reinterpret_cast<void*>(static_cast<intptr_t>(i)));
        }
    }
    ~BareClient() {
        for (CURL* h : easy) curl_easy_cleanup(h);
        curl_multi_cleanup(multi);
        curl_share_cleanup(share);
        curl_slist_free_all(closeHeader);
    }

    void run(bool freshConnections, int& failures) {
        int started = 0, done = 0;
        auto launch = [&](int slot) {
            bodies[slot].clear();
            curl_easy_setopt(easy[slot], CURLOPT_HTTPHEADER, freshConnections ? closeHeader : nullptr);
            curl_multi_add_handle(multi, easy[slot]);
            ++started;
        };
        for (int i = 0; i < kInFlight; ++i) launch(i);
        while (done < kRequests) {
            int running = 0;
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                if (msg->data.result != CURLE_OK) ++failures;
                void* p = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &p);
                curl_multi_remove_handle(multi, msg->easy_handle);
                ++done;
                if (started < kRequests) launch(static_cast<int>(reinterpret_cast<intptr_t>(p)));
            }
            if (done < kRequests) curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }
};

void runBare(bool freshConnections, int& failures) {
    static BareClient client;
    client.run(freshConnections, failures);
}

// The library: pre-built requests through ZRBNetworkManager, each completion
// starting the next so that 32 stay in flight.
void runOurs(bool freshConnections, int& failures, double& cpuSeconds) {
    std::vector<orvalis::URLRequest> requests;
    requests.reserve(kRequests);
    for (int i = 0; i < kRequests; ++i) {
        orvalis::URLRequest r(server().url(), orvalis::URLRequestReloadIgnoringLocalCacheData, 180);
        r.setHTTPMethod("GET");
        r.setValue("OAuth oauth_consumer_key=\"bench\"", "Authorization");
        if (freshConnections) r.setValue("close", "Connection");
        requests.push_back(std::move(r));
    }
    std::atomic<int> started{0};
    std::atomic<int> done{0};
    std::atomic<int> bad{0};
    double firstCpu = 0;
    std::mutex m;
    std::condition_variable cv;
    std::function<void()> launch;
    auto finished = [&](bool ok) {
        if (!ok) bad.fetch_add(1);
        const int n = done.fetch_add(1) + 1;
        if (n == 1) firstCpu = threadCpuSeconds();
        if (n == kRequests) {
            cpuSeconds = threadCpuSeconds() - firstCpu;
            std::lock_guard lock(m);
            cv.notify_all();
        } else {
            launch();
        }
    };
    launch = [&] {
        const int i = started.fetch_add(1);
        if (i >= kRequests) return;
        orvalis::ZRBNetworkManager().executeService(
            requests[i], [&](orvalis::Dictionary d) { finished(d.contains("items")); },
            [&](orvalis::Error) { finished(false); });
    };
    for (int i = 0; i < kInFlight; ++i) launch();
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done.load() == kRequests; });
    failures += bad.load();
}

void report(benchmark::State& state, Figures& out, double seconds, long handshakes, double cpu, int failures) {
    const double n = static_cast<double>(kRequests) * static_cast<double>(state.iterations());
    out.rate = n / seconds;
    out.handshakes = handshakes / static_cast<double>(state.iterations());
    out.cpuPerRequestMs = cpu * 1000 / n;
    state.counters["req_per_s"] = out.rate;
    state.counters["handshakes"] = out.handshakes;
    state.counters["client_cpu_ms_per_req"] = out.cpuPerRequestMs;
    if (failures) state.SkipWithError("some requests failed");
}

void run(benchmark::State& state, bool ours, bool fresh, Figures& out) {
    server();
    orvalis::setLogHandler({});
    if (ours) orvalis::URLSession::sharedSession().configuration().addTrustedCertificates(server().certFile);
    double seconds = 0, cpu = 0;
    long handshakes = 0;
    int failures = 0;
    for (auto _ : state) {
        const long h0 = g_handshakes.load();
        const auto t0 = std::chrono::steady_clock::now();
        double iterationCpu = 0;
        if (ours) {
            runOurs(fresh, failures, iterationCpu);
        } else {
            const double c0 = threadCpuSeconds();
            runBare(fresh, failures);
            iterationCpu = threadCpuSeconds() - c0;
        }
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        handshakes += g_handshakes.load() - h0;
        cpu += iterationCpu;
    }
    report(state, out, seconds, handshakes, cpu, failures);
}

void BM_BareCurlMulti_Reused(benchmark::State& s) { run(s, false, false, g_bare); }
void BM_ZRBNetworkManager_Reused(benchmark::State& s) { run(s, true, false, g_ours); }
void BM_BareCurlMulti_NewConnections(benchmark::State& s) { run(s, false, true, g_bareFresh); }
void BM_ZRBNetworkManager_NewConnections(benchmark::State& s) { run(s, true, true, g_oursFresh); }

BENCHMARK(BM_BareCurlMulti_Reused)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ZRBNetworkManager_Reused)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareCurlMulti_NewConnections)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ZRBNetworkManager_NewConnections)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_bare.rate > 0 && g_ours.rate > 0) {
        std::printf(
            "reused connections: ZRBNetworkManager / bare libcurl = %.2f (%.0f vs %.0f req/s); "
            "TLS handshakes per 2000 requests: %.0f (bare %.0f)\n",
            g_ours.rate / g_bare.rate, g_ours.rate, g_bare.rate, g_ours.handshakes, g_bare.handshakes);
    }
    if (g_bareFresh.rate > 0 && g_oursFresh.rate > 0) {
        std::printf(
            "new connection per request: ZRBNetworkManager / bare libcurl = %.2f (%.0f vs %.0f req/s); "
            "client CPU per new connection %.2f ms (bare %.2f ms)\n",
            g_oursFresh.rate / g_bareFresh.rate, g_oursFresh.rate, g_bareFresh.rate, g_oursFresh.cpuPerRequestMs,
            g_bareFresh.cpuPerRequestMs);
    }
    return 0;
}
