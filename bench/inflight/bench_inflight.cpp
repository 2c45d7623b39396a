// N operations in flight at once (default 10,000) against an HTTP/2 server on
// loopback that allows 100,000 streams per connection and holds every answer
// until all N are at the server together (hold_server.py). Reported for
// Client::getPrecheckoutData (key cache on) and for a floor measured in the same
// run, the same N GETs as bare libcurl multi transfers:
//   - peak requests at the server at once, and the connections they came on;
//   - memory per operation in flight: resident size when the server holds the
//     round's peak, less the size before the round, divided by N;
//   - the caller's time to start N: wall and CPU time of the starting thread
//     (for the floor: making, setting up and adding N easy handles), and the
//     same N RSA-SHA1 signatures alone, what starting must at least cost when
//     it signs on the caller's thread.
//   bench_inflight [N]        (scripts/install-deps.sh bench installs the server's h2 package)
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Orvalis/Utils/Crypto/KeyCache.h>
#include <TestPki.h>
#include <curl/curl.h>
#include <malloc.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <support/ProcessMemory.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kPassword = "bench-password";

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The starting thread's voluntary context switches: how often it waited (for a lock, a
// write) rather than being pre-empted by a busy machine.
long waitsOfThisThread() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// Bytes the allocator has handed out and not yet had back, over every arena.
double heapKB() { return static_cast<double>(mallinfo2().uordblks) / 1024; }

long residentKB() {
    malloc_trim(0);
    return statusKB("VmRSS:");
}

// The hold server as a child process; its lines are read on a thread of their own.
class HoldServer {
public:
    HoldServer(const std::string& cert, const std::string& key) {
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::string script = ORVALIS_HOLD_SERVER;
        std::vector<std::string> args = {ORVALIS_PYTHON3, script, cert, key};  // the interpreter python3-h2 serves
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start " + args[0]);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        in_ = fdopen(out[0], "r");
        port_ = std::stoi(readLine());
        reader_ = std::thread([this] {
            for (std::string line; !(line = readLine()).empty();) {
                std::lock_guard lock(mutex_);
                lines_.push_back(line);
                arrived_.notify_all();
            }
        });
    }
    ~HoldServer() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        reader_.join();
        fclose(in_);
    }
    int port() const { return port_; }
    // The next round's line ("<round> <peak> <connections>"), once the server released it.
    std::string nextRelease() {
        std::unique_lock lock(mutex_);
        arrived_.wait(lock, [this] { return taken_ < lines_.size(); });
        return lines_[taken_++];
    }
    // Whether the next round was released; does not wait.
    bool released() {
        std::lock_guard lock(mutex_);
        return taken_ < lines_.size();
    }

private:
    std::string readLine() {
        char buffer[256];
        if (fgets(buffer, sizeof buffer, in_) == nullptr) return {};
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        return line;
    }
    pid_t pid_ = 0;
    FILE* in_ = nullptr;
    int port_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> lines_;
    std::size_t taken_ = 0;
};

struct Figures {
    double startWall = 0, startCpu = 0;
    long startWaits = 0;
    double othersCpu = 0;  // of the process's other threads while the caller started
    double kibPerOperation = 0;
    double heapKibPerOperation = 0;
    std::string release;  // the server's line: round, peak, connections
};

std::string roundId(int round, int n) { return "r" + std::to_string(round) + "n" + std::to_string(n); }

Figures libraryRound(const Client& client, HoldServer& server, int round, int n) {
    ZRBPrecheckoutDataRequest request;
    request.setPairingId(roundId(round, n));
    std::vector<Operation> operations;
    operations.reserve(static_cast<std::size_t>(n));
    Figures f;
    const long before = residentKB();
    const double heapBefore = heapKB();
    const long waits0 = waitsOfThisThread();
    const double cpu0 = threadCpuSeconds(), all0 = processCpuSeconds();
    const auto wall0 = Clock::now();
    for (int i = 0; i < n; ++i) operations.push_back(client.getPrecheckoutData(request));
    f.startWall = std::chrono::duration<double>(Clock::now() - wall0).count();
    f.startCpu = threadCpuSeconds() - cpu0;
    f.othersCpu = processCpuSeconds() - all0 - f.startCpu;
    f.startWaits = waitsOfThisThread() - waits0;
    f.release = server.nextRelease();
    f.kibPerOperation = static_cast<double>(statusKB("VmRSS:") - before) / n;
    f.heapKibPerOperation = (heapKB() - heapBefore) / n;
    client.waitUntilIdle(std::chrono::minutes(5));
    int failed = 0;
    for (Operation& operation : operations) failed += operation.get().succeeded() ? 0 : 1;
    if (failed) std::printf("  (%d of %d operations failed)\n", failed, n);
    return f;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

Figures floorRound(HoldServer& server, const std::string& caFile, int round, int n) {
    const std::string url =
        "https://127.0.0.1:" + std::to_string(server.port()) + "/quorvex/precheckoutdata/" + roundId(round, n);
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 32L);
    curl_multi_setopt(multi, CURLMOPT_MAX_CONCURRENT_STREAMS, 1000L);
    std::vector<CURL*> handles;
    handles.reserve(static_cast<std::size_t>(n));
    Figures f;
    const long before = residentKB();
    const double heapBefore = heapKB();
    const long waits0 = waitsOfThisThread();
    const double cpu0 = threadCpuSeconds();
    const auto wall0 = Clock::now();
    for (int i = 0; i < n; ++i) {
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
        curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 1024L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
        curl_multi_add_handle(multi, easy);
        handles.push_back(easy);
    }
    f.startWall = std::chrono::duration<double>(Clock::now() - wall0).count();
    f.startCpu = threadCpuSeconds() - cpu0;
    f.startWaits = waitsOfThisThread() - waits0;
    int running = 1;
    bool measured = false;
    const auto giveUp = Clock::now() + std::chrono::minutes(5);
    while ((running > 0 || !measured) && Clock::now() < giveUp) {
        curl_multi_perform(multi, &running);
        if (!measured && server.released()) {
            f.release = server.nextRelease();
            f.kibPerOperation = static_cast<double>(statusKB("VmRSS:") - before) / n;
        f.heapKibPerOperation = (heapKB() - heapBefore) / n;
            measured = true;
        }
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    for (CURL* easy : handles) {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
    }
    curl_multi_cleanup(multi);
    return f;
}

// Seconds of n RSA-SHA1 signatures of a base string with a loaded key.
double signaturesAlone(EVP_PKEY* key, int n) {
    const std::string base(400, 'b');
    std::vector<unsigned char> signature(512);
    const double cpu0 = threadCpuSeconds();
    for (int i = 0; i < n; ++i) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        std::size_t length = signature.size();
        EVP_DigestSignInit(context, nullptr, EVP_sha1(), nullptr, key);
        EVP_DigestSign(context, signature.data(), &length, reinterpret_cast<const unsigned char*>(base.data()),
                       base.size());
        EVP_MD_CTX_free(context);
    }
    return threadCpuSeconds() - cpu0;
}

void print(const char* what, const Figures& f, int n) {
    std::printf("%-8s start: %6.3f s wall, %6.3f s CPU (%.1f us each), %ld waits, other threads %.3f s CPU meanwhile; %6.2f KiB per operation "
                "in flight (heap %.2f); server (round, peak at once, connections): %s\n",
                what, f.startWall, f.startCpu, f.startCpu * 1e6 / n, f.startWaits, f.othersCpu, f.kibPerOperation, f.heapKibPerOperation,
                f.release.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (n < 1) return 2;
    setLogHandler({});
    ts::TempDir dir;
    ts::Identity ca = ts::makeTestCA();
    ts::Identity host = ts::makeIssuedIdentity(ca, ts::localhostCertOptions());
    const std::string caFile = dir.write("ca.pem", ts::certPem(ca.cert.get())).string();
    const std::string cert = dir.write("server.pem", ts::certPem(host.cert.get())).string();
    const std::string key = dir.write("server.key", ts::privateKeyPem(host.key.get())).string();
    ts::Identity merchant = ts::makeRsaIdentity(2048);
    const std::string p12 = ts::makeP12(merchant.key.get(), merchant.cert.get(), kPassword);
    HoldServer server(cert, key);

    KeyCache::sharedInstance().setLifetime(std::chrono::hours(1));
    // The process's anchors, as a host trusting a private CA would add them: the verification
    // store is then made once, not per connection as for a client's own anchors.
    URLSession::sharedSession().configuration().addTrustedCertificates(caFile);
    ClientConfiguration c;
    c.host = "127.0.0.1:" + std::to_string(server.port());
    c.consumerKey = "bench-consumer";
    c.keySource = KeySource::memory(p12);
    c.keyFilePassword = kPassword;
    c.retry.maxAttempts = 1;
    c.idleTimeout = std::chrono::minutes(5);
    Client client(c);

    std::printf("%d operations in flight, HTTP/2 on loopback (the server allows 100,000 streams per connection)\n", n);
    int round = 0;
    libraryRound(client, server, ++round, 100);  // warm-up: connections, key cache, allocator
    floorRound(server, caFile, ++round, 100);
    const Figures floor = floorRound(server, caFile, ++round, n);
    const Figures ours = libraryRound(client, server, ++round, n);
    const double signing = signaturesAlone(merchant.key.get(), n);
    print("libcurl", floor, n);
    print("Client", ours, n);
    std::printf("signatures alone: %.3f s CPU (%.1f us each)\n", signing, signing * 1e6 / n);
    std::printf("ratios: memory per operation %.2fx libcurl's; start CPU %.2fx (libcurl + signatures)\n",
                ours.kibPerOperation / floor.kibPerOperation, ours.startCpu / (floor.startCpu + signing));
    return 0;
}
