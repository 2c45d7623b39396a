// Latency of one GET at a time on a warm connection, by answer size (0 B to 1 MiB) and protocol (HTTP/2 by
// ALPN, HTTP/1.1), against nginx on 127.0.0.1 (TLS 1.3; tests/support/Nginx.h): through the library's URL
// session, and the floor in the same run, bare libcurl fetching the same file on one reused easy handle.
// Median of N fetches each, the two taken in turn so that the machine's load falls on both alike. Checks
// the target: up to 64 KiB, no answer takes more than the 1 KiB answer's latency + 5 ms.
//   bench_http2 [N]   (default 21)
#include <Nginx.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::size_t> kSizes = {0, 1 << 10, 2 << 10, 4 << 10, 8 << 10, 12 << 10, 16 << 10, 32 << 10,
                                         64 << 10, 256 << 10, 1 << 20};

std::string path(std::size_t size) { return "/" + std::to_string(size) + ".json"; }

// Milliseconds of one fetch through the library; exits when it fails or the size is wrong.
double library(const std::string& url, std::size_t size) {
    URLRequest r(url, URLRequestReloadIgnoringLocalCacheData, 30);
    r.setHTTPMethod("GET");
    auto done = std::make_shared<std::promise<std::size_t>>();
    const auto start = Clock::now();
    URLSession::sharedSession()
        .dataTaskWithRequest(r, [done](auto data, auto, auto error) {
            done->set_value(error || !data ? std::size_t(-1) : data->size());
        })
        .resume();
    const std::size_t got = done->get_future().get();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (got != size) {
        std::fprintf(stderr, "the library's fetch of %s failed\n", url.c_str());
        std::exit(1);
    }
    return ms;
}

size_t count(char*, size_t size, size_t n, void* total) {
    *static_cast<std::size_t*>(total) += size * n;
    return size * n;
}

// The floor: one easy handle per protocol, reused, so its connection stays warm.
struct Bare {
    CURL* easy = curl_easy_init();
    std::size_t got = 0;
    Bare(const std::string& caFile, bool http2) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, http2 ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &count);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &got);
    }
    ~Bare() { curl_easy_cleanup(easy); }
    double fetch(const std::string& url, std::size_t size) {
        got = 0;
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        const auto start = Clock::now();
        const CURLcode code = curl_easy_perform(easy);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (code != CURLE_OK || got != size) {
            std::fprintf(stderr, "bare libcurl's fetch of %s failed: %s\n", url.c_str(), curl_easy_strerror(code));
            std::exit(1);
        }
        return ms;
    }
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    std::map<std::string, std::string> files;
    for (std::size_t size : kSizes) {
        std::string body = size >= 2 ? "\"" + std::string(size - 2, 'x') + "\"" : std::string(size, ' ');
        files[path(size)] = std::move(body);
    }
    ts::Nginx nginx(files);
    setLogHandler(LogHandler());
    if (!URLSession::sharedSession().configuration().addTrustedCertificates(nginx.caFile())) return 1;

    std::printf("median of %d fetches, ms; ours: the URL session; floor: bare libcurl, same file, same run\n", n);
    std::printf("%9s | %8s %8s %6s | %8s %8s %6s\n", "answer", "h2 ours", "h2 floor", "ratio", "h1 ours", "h1 floor",
                "ratio");
    std::map<std::pair<bool, std::size_t>, double> ours, floor;
    bool met = true;
    for (bool http2 : {true, false}) {
        Bare bare(nginx.caFile(), http2);
        library(nginx.url(path(0), http2), 0), bare.fetch(nginx.url(path(0), http2), 0);  // connections made
        for (std::size_t size : kSizes) {
            std::vector<double> a, b;
            const std::string url = nginx.url(path(size), http2);
            for (int i = 0; i < n; ++i) a.push_back(library(url, size)), b.push_back(bare.fetch(url, size));
            ours[{http2, size}] = median(a);
            floor[{http2, size}] = median(b);
        }
    }
    for (std::size_t size : kSizes) {
        std::printf("%8zuB |", size);
        for (bool http2 : {true, false}) {
            const double o = ours[{http2, size}], f = floor[{http2, size}];
            std::printf(" %8.2f %8.2f %6.2f |", o, f, o / f);
            if (size <= (64u << 10) && o > ours[{http2, 1u << 10}] + 5.0) met = false;
        }
        std::printf("\n");
    }
    std::printf("target (up to 64 KiB: at most the 1 KiB answer's latency + 5 ms): %s\n", met ? "met" : "MISSED");
    return 0;
}
