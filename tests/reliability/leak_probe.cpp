// A short run of requests with faults, for memcheck: exits 0 when every
// request got exactly one callback. Leaks are memcheck's to report.
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "FaultServer.h"
#include "Ledger.h"

int main() {
    using namespace orvalis;
    setLogHandler({});
    reliability::FaultServer server;
    const char* paths[] = {"/json",    "/xml",   "/gzip",          "/http10",   "/status500", "/empty",
                           "/badutf8", "/close", "/reset?after=5", "/badchunk", "/short",     "/cutchunk"};
    constexpr std::size_t kRounds = 3;
    reliability::Ledger ledger(kRounds * std::size(paths));
    std::size_t i = 0;
    for (std::size_t r = 0; r < kRounds; ++r) {
        for (const char* path : paths) {
            URLRequest request(server.baseURL() + path, URLRequestReloadIgnoringLocalCacheData, 30);
            ZRBNetworkManager().executeService(request, ledger.onSuccess(i), ledger.onFailure(i));
            ++i;
        }
    }
    if (!ledger.waitAll(std::chrono::seconds(120))) {
        std::fprintf(stderr, "only %zu of %zu callbacks\n", ledger.calls(), ledger.size());
        return 1;
    }
    for (std::size_t k = 0; k < ledger.size(); ++k) {
        if (ledger.successes(k) + ledger.failures(k) != 1) {
            std::fprintf(stderr, "request %zu: %d callbacks\n", k, ledger.successes(k) + ledger.failures(k));
            return 1;
        }
    }
    return 0;
}
