// Faults injected by a misbehaving server on 127.0.0.1, seen through the
// transport's completion steps: which callback, with what, exactly once.
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <Orvalis/Networking/ZRBNetworkManager.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FaultServer.h"
#include "Ledger.h"
#include "TlsFiles.h"

namespace orvalis::reliability {
namespace {

using namespace std::chrono_literals;

enum class Outcome { Success, ServerError, URLFailure };

struct FaultCase {
    const char* path;
    double timeout;  // the request's idle time-out, seconds
    Outcome outcome;
    std::int64_t urlCode;    // for URLFailure: the URL error code, 0 for any
    const char* successKey;  // for Success: a key the delivered dictionary holds
};

// Each row: the fault, and the sound outcome for the host.
const FaultCase kFaults[] = {
    {"/json", 30, Outcome::Success, 0, "status"},
    {"/xml", 30, Outcome::Success, 0, "Id"},
    {"/gzip", 30, Outcome::Success, 0, "status"},
    {"/http10", 30, Outcome::Success, 0, "status"},
    {"/redirect", 30, Outcome::Success, 0, "moved"},
    {"/status500", 30, Outcome::Success, 0, "detail"},
    {"/drip?n=30&ms=50", 1, Outcome::Success, 0, "d"},  // 1.5 s in all, never 1 s idle
    {"/empty", 30, Outcome::ServerError, 0, nullptr},
    {"/badutf8", 30, Outcome::ServerError, 0, nullptr},
    {"/reset?after=10", 30, Outcome::URLFailure, URLErrorNetworkConnectionLost, nullptr},
    {"/close", 30, Outcome::URLFailure, 0, nullptr},
    {"/short", 30, Outcome::URLFailure, 0, nullptr},
    {"/cutchunk", 30, Outcome::URLFailure, 0, nullptr},
    {"/badchunk", 30, Outcome::URLFailure, 0, nullptr},
    {"/stall", 1, Outcome::URLFailure, URLErrorTimedOut, nullptr},
};

class Faults : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setLogHandler({});  // bodies of megabytes would flood the output
        tls_ = new TlsFiles();
        server_ = new FaultServer(tls_->cert(), tls_->key());
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
        delete tls_;
        tls_ = nullptr;
        resetLogHandler();
    }

    static URLRequest request(const std::string& path, double timeout = 30) {
        return URLRequest(server_->baseURL() + path, URLRequestReloadIgnoringLocalCacheData, timeout);
    }

    // Starts one request per entry of paths and waits for all callbacks.
    static std::unique_ptr<Ledger> run(const std::vector<URLRequest>& requests, std::chrono::milliseconds limit) {
        auto ledger = std::make_unique<Ledger>(requests.size());
        for (std::size_t i = 0; i < requests.size(); ++i) {
            ZRBNetworkManager().executeService(requests[i], ledger->onSuccess(i), ledger->onFailure(i));
        }
        EXPECT_TRUE(ledger->waitAll(limit)) << ledger->calls() << " of " << requests.size() << " answered";
        return ledger;
    }

    static TlsFiles* tls_;
    static FaultServer* server_;
};
TlsFiles* Faults::tls_ = nullptr;
FaultServer* Faults::server_ = nullptr;

void expectOutcome(const FaultCase& fault, Ledger& ledger, std::size_t i, const std::optional<Dictionary>& got) {
    SCOPED_TRACE(fault.path);
    EXPECT_EQ(ledger.successes(i) + ledger.failures(i), 1);
    const auto error = ledger.error(i);
    switch (fault.outcome) {
        case Outcome::Success:
            EXPECT_EQ(ledger.successes(i), 1) << (error ? error->description() : "");
            if (got) {
                EXPECT_TRUE(got->contains(fault.successKey)) << got->description();
            }
            break;
        case Outcome::ServerError:
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain(), kZRBNetworkErrorDomain);
            EXPECT_EQ(error->code(), 101);
            EXPECT_EQ(error->localizedDescription(), "Server Error");
            break;
        case Outcome::URLFailure:
            ASSERT_TRUE(error);
            EXPECT_EQ(error->domain(), URLErrorDomain) << error->description();
            if (fault.urlCode != 0) {
                EXPECT_EQ(error->code(), fault.urlCode) << error->description();
            }
            break;
    }
}

TEST_F(Faults, EachFaultEndsInItsOneCallback) {
    std::vector<URLRequest> requests;
    for (const auto& f : kFaults) requests.push_back(request(f.path, f.timeout));
    // Deliveries are checked one by one with the dictionary they carried.
    std::vector<std::optional<Dictionary>> delivered(requests.size());
    std::mutex mutex;
    Ledger ledger(requests.size());
    for (std::size_t i = 0; i < requests.size(); ++i) {
        auto keep = [&, i](const Dictionary& d) {
            std::lock_guard lock(mutex);
            delivered[i] = d;
        };
        ZRBNetworkManager().executeService(requests[i], ledger.onSuccess(i, keep), ledger.onFailure(i));
    }
    ASSERT_TRUE(ledger.waitAll(60s));
    std::this_thread::sleep_for(100ms);  // a second callback would show up by now
    std::lock_guard lock(mutex);
    for (std::size_t i = 0; i < requests.size(); ++i) expectOutcome(kFaults[i], ledger, i, delivered[i]);
}

TEST_F(Faults, RefusedConnectionFailsWithCannotConnect) {
    // A port that was free a moment ago: bind, note it, close.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    const auto ledger = run({URLRequest("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/json",
                                        URLRequestReloadIgnoringLocalCacheData, 5)},
                            20s);
    ASSERT_EQ(ledger->failures(0), 1);
    EXPECT_EQ(ledger->error(0)->domain(), URLErrorDomain);
    EXPECT_EQ(ledger->error(0)->code(), URLErrorCannotConnectToHost);
}

// Expired and not-yet-valid certificates are the transport suite's; a weak
// key is checked here, beside a control made the same way.
TEST(Certificates, WeakServerKeyNeverSucceeds) {
    setLogHandler({});
    struct Case {
        const char* what;
        std::int64_t notBefore, notAfter;
        int bits;
        bool trusted;
    };
    const Case cases[] = {
        {"valid (the control: same construction)", -3600, 86400, 2048, true},
        {"1024-bit key", -3600, 86400, 1024, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TlsFiles tls(c.notBefore, c.notAfter, c.bits);  // its CA is trusted: only the fault remains
        FaultServer server(tls.cert(), tls.key());
        Ledger ledger(1);
        ZRBNetworkManager().executeService(
            URLRequest(server.baseURL() + "/json", URLRequestReloadIgnoringLocalCacheData, 10), ledger.onSuccess(0),
            ledger.onFailure(0));
        ASSERT_TRUE(ledger.waitAll(30s));
        if (c.trusted) {
            EXPECT_EQ(ledger.successes(0), 1) << ledger.error(0)->description();
            continue;
        }
        ASSERT_EQ(ledger.failures(0), 1);
        EXPECT_EQ(ledger.error(0)->domain(), URLErrorDomain);
        EXPECT_EQ(ledger.error(0)->code(), URLErrorServerCertificateUntrusted) << ledger.error(0)->description();
    }
    resetLogHandler();
}

TEST_F(Faults, BodyLargerThanTheCapFailsAndMemoryStaysBounded) {
    auto& config = URLSession::sharedSession().configuration();
    const auto previous = config.maximumResponseSize();
    config.setMaximumResponseSize(8u << 20);
    const std::size_t before = peakResidentBytes();
    // A declared length over the cap, and a gzip bomb whose inflated size is.
    const auto ledger = run({request("/big?mb=64"), request("/gzipbomb?mb=64")}, 60s);
    config.setMaximumResponseSize(previous);
    for (std::size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(ledger->failures(i), 1);
        EXPECT_EQ(ledger->error(i)->domain(), URLErrorDomain);
        EXPECT_EQ(ledger->error(i)->code(), URLErrorDataLengthExceedsMaximum);
    }
    if (!kSanitized) {
        EXPECT_LT(peakResidentBytes() - before, std::size_t{64} << 20);
    }
}

TEST_F(Faults, HundredMegabyteAnswerSucceedsWithinItsMemoryBound) {
    // 100 MiB; under sanitizers (no memory figures there) a smaller one keeps it quick.
    const std::size_t mb = kSanitized ? 16 : 100;
    const std::size_t body = mb << 20;
    const std::size_t before = peakResidentBytes();
    std::atomic<std::size_t> padSize{0};
    auto& config = URLSession::sharedSession().configuration();
    const std::uint64_t cap = config.maximumResponseSize();
    config.setMaximumResponseSize(std::uint64_t{256} << 20);  // above the default cap on purpose
    Ledger ledger(1);
    ZRBNetworkManager().executeService(
        request("/big?mb=" + std::to_string(mb)),
        ledger.onSuccess(0, [&](const Dictionary& d) { padSize = d.objectForKey("pad").asString().size(); }),
        ledger.onFailure(0));
    ASSERT_TRUE(ledger.waitAll(120s));
    config.setMaximumResponseSize(cap);
    ASSERT_EQ(ledger.successes(0), 1) << ledger.error(0)->description();
    EXPECT_EQ(padSize.load(), body - 10);
    // Body, decoded string and the transient copies: at most four times the body.
    if (!kSanitized) {
        EXPECT_LT(peakResidentBytes() - before, 4 * body);
    }
}

TEST_F(Faults, InvalidUTF8AnswerIsLoggedAsTextAndFails) {
    std::mutex mutex;
    std::vector<std::string> lines;
    setLogHandler([&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    });
    const auto ledger = run({request("/badutf8")}, 20s);
    setLogHandler({});
    ASSERT_EQ(ledger->failures(0), 1);
    EXPECT_EQ(ledger->error(0)->code(), kZRBNetworkErrorCode);
    EXPECT_EQ(ledger->error(0)->localizedDescription(), "Server Error");
    std::lock_guard lock(mutex);
    const auto response =
        std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Response: ", 0) == 0; });
    ASSERT_NE(response, lines.end());
    // The bytes that are not UTF-8 stand as U+FFFD; the valid ones stay.
    EXPECT_NE(response->find("\xEF\xBF\xBD"), std::string::npos);
    EXPECT_EQ(response->find('\xFF'), std::string::npos);
    EXPECT_NE(response->find('<'), std::string::npos);
}

TEST_F(Faults, ThrowingCallbacksAreContainedOnTheDeliveryThread) {
    std::atomic<int> calls{0};
    // Throws on a transport failure and on the XML branch: outside the JSON guard.
    for (const char* path : {"/close", "/xml"}) {
        ZRBNetworkManager().executeService(
            request(path),
            [&](Dictionary) {
                ++calls;
                throw std::runtime_error("host bug");
            },
            [&](Error) {
                ++calls;
                throw 42;
            });
    }
    for (int i = 0; i < 200 && calls < 2; ++i) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), 2);
    // The delivery thread lives on.
    const auto ledger = run({request("/json")}, 20s);
    EXPECT_EQ(ledger->successes(0), 1);
}

}  // namespace
}  // namespace orvalis::reliability
