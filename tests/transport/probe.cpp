// Runs one scenario of the shared URL session in a process of its own, so that tests can watch how
// the process ends. Usage: transport_probe <mode> <url> <ca.pem>; prints what happened on stdout.
//   fetch             one GET; prints "ok <status>" or "error <code>"
//   direct            as fetch, with a client's settings whose proxy is "" (none, whatever the environment says)
//   exit-in-flight    starts GETs that never finish, then returns from main at once
//   exit-in-callback  calls exit(0) from inside a completion
//   host-exit-work    returns from main while answers keep arriving, behind a host static whose
//                     destructor takes 100 ms; prints "late" for any completion that starts in it
//   slow-exit         returns from main while its first completion outlasts the exit handler's
//                     wait, other tasks finished behind it; prints "late" for any that runs later
//   exit-mid-decode   returns from main while a 100,000-children XML answer (sent back by <url>) decodes;
//                     prints "late" if its callback runs after that
//   exit-signing      returns from main while operations wait for start threads that ask a slow key
//                     source; prints "late" for any that completes after that
//   fork              forks with a GET in flight: a child that fetches <url> and returns from main, then one that
//                     only returns (printed "child exited" unless that took a second or more); then the parent's answer
//   faults            <url> is a base URL: three rounds of faulty answers through ZRBNetworkManager;
//                     exits 1 unless each request gets exactly one callback (for memcheck)
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/TransportSettings.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <Orvalis/ServiceInfrastructure/Client.h>
#include <TestServer.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace orvalis;

namespace {

std::atomic<bool> mainReturned{false}, firstEntered{false}, hostExitBegun{false};

// Made after the session started, so destroyed before the session's own exit handler runs.
struct SlowHostStatic {
    ~SlowHostStatic() {
        hostExitBegun = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
};

void print(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int faults(const std::string& base) {
    const char* paths[] = {
        "/json", "/xml", "/gzip", "/http10", "/reply", "/close", "/reset", "/badchunk", "/short", "/chunkcut"};
    std::vector<std::atomic<int>> calls(3 * std::size(paths));
    std::atomic<std::size_t> done{0};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        auto record = [&, i](auto) {  // a success or a failure alike
            ++calls[i];
            ++done;
        };
        ZRBNetworkManager().executeService(
            URLRequest(base + paths[i % std::size(paths)], URLRequestReloadIgnoringLocalCacheData, 30), record, record);
    }
    for (int i = 0; i < 1200 && done < calls.size(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return std::all_of(calls.begin(), calls.end(), [](const auto& c) { return c == 1; }) ? 0 : 1;
}

// Returns from main: any completion from here on is late.
int exiting() {
    print("exiting");
    mainReturned = true;
    return 0;
}

// Starts a task of the shared session whose completion runs `then`.
void startTask(const URLRequest& request, void (*then)()) {
    URLSession::sharedSession().dataTaskWithRequest(request, [then](auto, auto, auto) { then(); }).resume();
}

// "ok <status>" or "error <code>".
std::string said(const testsupport::Outcome& o) {
    return o.error ? "error " + std::to_string(o.error->code())
                   : "ok " + std::to_string(o.response ? o.response->statusCode : 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string mode = argv[1];
    URLSession& session = URLSession::sharedSession();
    if (!session.configuration().addTrustedCertificates(argv[3])) return 3;
    setLogHandler({});
    if (mode == "faults") return faults(argv[2]);
    URLRequest request(argv[2], URLRequestReloadIgnoringLocalCacheData, 30);
    if (mode == "fork") {
        testsupport::fetch(request);  // the delivery thread and a kept-alive connection exist
        auto parents = testsupport::start(URLRequest(argv[2] + std::string("?delay=1000"), request.cachePolicy(), 30));
        if (fork() == 0) {
            print("child " + said(testsupport::fetch(request)));
            return 0;
        }
        const auto forked = (wait(nullptr), std::chrono::steady_clock::now());
        if (fork() == 0) return 0;
        if (wait(nullptr) > 0 && std::chrono::steady_clock::now() - forked < std::chrono::seconds(1))
            print("child exited");
        print("parent " + said(parents.get()));
        return 0;
    }
    if (mode == "exit-in-flight") {
        for (int i = 0; i < 8; ++i) startTask(request, [] { print("unexpected completion"); });
        print("started");
        return 0;
    }
    if (mode == "host-exit-work") {
        for (int i = 0; i < 40; ++i)
            startTask(testsupport::get(std::string(argv[2]) + "?delay=" + std::to_string(100 + 10 * i), 30), [] {
                firstEntered = true;
                if (hostExitBegun.load()) (void)!::write(1, "late\n", 5);
            });
        static SlowHostStatic slow;
        for (int i = 0; i < 3000 && !firstEntered.load(); ++i)  // the rest go on arriving for 390 ms
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return exiting();
    }
    if (mode == "exit-mid-decode") {
        std::string xml = "<a>";
        for (int i = 0; i < 100000; ++i) xml += "<k" + std::to_string(i) + ">1</k" + std::to_string(i) + ">";
        request.setHTTPMethod("POST");
        request.setHTTPBody(xml + "</a>");
        static std::promise<void> decoding;
        setLogHandler([](std::string_view line) {  // right before the decode: it goes on once main returns
            if (!line.starts_with("Response: <a>")) return;
            decoding.set_value();
            while (!mainReturned.load()) std::this_thread::yield();
        });
        auto late = [](auto) { (void)!::write(1, "late\n", 5); };
        ZRBNetworkManager().executeService(request, late, late);
        if (decoding.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) return 4;
        return exiting();
    }
    if (mode == "exit-signing") {
        ClientConfiguration c;
        c.host = "127.0.0.1", c.consumerKey = "k";
        c.keySource = KeySource::callback([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return std::optional<std::string>();
        });
        c.observer = [](const OperationEvent& e) {
            if (e.kind == OperationEventKind::Completed && mainReturned.load()) (void)!::write(1, "late\n", 5);
        };
        Client client(c);
        for (int i = 0; i < 400; ++i) client.getPairingId({});
        return exiting();
    }
    if (mode == "slow-exit") {
        static std::vector<std::string> seen;  // destroyed early in exit, like any host static
        seen.reserve(16);
        std::atexit([] { std::this_thread::sleep_for(std::chrono::seconds(3)); });  // keeps the process alive meanwhile
        for (int i = 0; i < 8; ++i)
            startTask(request, [] {
                if (!firstEntered.exchange(true)) {
                    // outlasts the exit handler's wait
                    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                } else if (mainReturned.load()) {
                    (void)!::write(1, "late\n", 5);
                    seen.push_back("late");
                }
            });
        for (int i = 0; i < 500 && !firstEntered.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // the other transfers fail and wait behind the first
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return exiting();
    }
    std::promise<std::string> result;
    URLSessionDataTask task = session.dataTaskWithRequest(
        request, [&](auto, std::optional<HTTPURLResponse> response, std::optional<Error> error) {
            if (mode == "exit-in-callback") {
                print("exiting");
                std::exit(0);
            }
            result.set_value(said({std::nullopt, std::move(response), std::move(error)}));
        });
    if (mode == "direct") {
        auto direct = std::make_shared<detail::TransportSettings>();
        direct->proxy = "";
        detail::useTransportSettings(task, direct);
    }
    task.resume();
    auto future = result.get_future();
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) return 4;
    print(future.get());
    return 0;
}
