// Runs one scenario of the shared URL session in a process of its own, so that
// tests can watch how the process ends. Usage: transport_probe <mode> <url> <ca.pem>
//   fetch          one GET; prints "ok <status>" or "error <code>"
//   exit-in-flight starts GETs that never finish, then returns from main at once
//   exit-in-callback calls exit(0) from inside a completion
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

using namespace orvalis;

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string mode = argv[1];
    URLSession& session = URLSession::sharedSession();
    if (!session.configuration().addTrustedCertificates(argv[3])) return 3;
    setLogHandler({});
    URLRequest request(argv[2], URLRequestReloadIgnoringLocalCacheData, 30);

    if (mode == "exit-in-flight") {
        for (int i = 0; i < 8; ++i) {
            session.dataTaskWithRequest(request, [](auto, auto, auto) { std::puts("unexpected completion"); }).resume();
        }
        std::puts("started");
        std::fflush(stdout);
        return 0;
    }
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::string result;
    session
        .dataTaskWithRequest(
            request,
            [&](std::optional<std::string>, std::optional<HTTPURLResponse> response, std::optional<Error> error) {
                if (mode == "exit-in-callback") {
                    std::puts("exiting");
                    std::fflush(stdout);
                    std::exit(0);
                }
                std::lock_guard lock(m);
                result = error ? "error " + std::to_string(error->code())
                               : "ok " + std::to_string(response ? response->statusCode : 0);
                done = true;
                cv.notify_all();
            })
        .resume();
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) return 4;
    std::printf("%s\n", result.c_str());
    return 0;
}
