// Wall time of an express checkout POST against the sandbox with the journal on and off, in the same
// run: one payment at a time (each pays for the journal's two synced writes) and 100 in flight (the
// writes of all of them take turns on one file). The modes alternate, five rounds; medians are shown.
// The journal lives in TMPDIR (or /tmp): its disk's sync time is what is measured.
//   bench_journal [ROUNDS]
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <TestPki.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

constexpr const char* kPassword = "bench-password";

std::string readAll(const std::filesystem::path& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// A merchant key and a sandbox process for the whole program.
struct Sandbox {
    ts::TempDir dir;
    pid_t pid = -1;
    std::string host;

    Sandbox() {
        ts::Identity merchant = ts::makeRsaIdentity(2048);
        dir.write("merchant.p12", ts::makeP12(merchant.key.get(), merchant.cert.get(), kPassword));
        std::vector<std::string> args{ORVALIS_SANDBOX_PATH,
                                      "--merchant-cert",
                                      dir.write("merchant.pem", ts::certPem(merchant.cert.get())).string(),
                                      "--port-file",
                                      (dir.path() / "port").string(),
                                      "--write-cert",
                                      (dir.path() / "sandbox.pem").string()};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&quiet);
        if (rc != 0) throw std::runtime_error("cannot start the sandbox");
        std::string port;
        for (int i = 0; i < 200 && port.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            port = readAll(dir.path() / "port");
        }
        if (port.empty()) throw std::runtime_error("the sandbox did not start");
        host = "127.0.0.1:" + std::to_string(std::stoi(port));
        URLSession::sharedSession().configuration().addTrustedCertificates((dir.path() / "sandbox.pem").string());
        Bundle::mainBundle().setResourcePath(dir.path().string());
        setLogHandler(LogHandler());
    }
    ~Sandbox() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
};

// Microseconds per POST of count payments, inFlight at a time.
double microsPerPost(const Client& client, int count, int inFlight) {
    ZRBExpressCheckoutDataRequest payment;
    payment.setCheckoutId("chk-bench"), payment.setAmount(9.95), payment.setCurrency("EUR");
    const auto start = std::chrono::steady_clock::now();
    for (int done = 0; done < count; done += inFlight) {
        std::vector<Operation> batch;
        for (int i = 0; i < inFlight; ++i) batch.push_back(client.expressCheckout(payment));
        for (const Operation& op : batch) {
            if (!op.get().succeeded()) throw std::runtime_error("a payment failed");
        }
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / count;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    Sandbox sandbox;
    ClientConfiguration c;
    c.host = sandbox.host, c.consumerKey = "bench", c.keyFileName = "merchant", c.keyFilePassword = kPassword;
    const Client off(c);
    c.journalPath = (sandbox.dir.path() / "bench.journal").string();
    const Client on(c);
    std::printf("journal: %s\n%-16s %14s %14s %9s\n", c.journalPath.c_str(), "case", "off (us/POST)",
                "on (us/POST)", "ratio");
    for (const auto& [name, count, inFlight] : {std::tuple{"1 in flight", 200, 1}, {"100 in flight", 1000, 100}}) {
        microsPerPost(off, inFlight, inFlight), microsPerPost(on, inFlight, inFlight);  // connections made
        std::vector<double> offTimes, onTimes;
        for (int r = 0; r < rounds; ++r) {
            // Alternating which goes first, so that drift on a busy machine hits both alike.
            if (r % 2) onTimes.push_back(microsPerPost(on, count, inFlight));
            offTimes.push_back(microsPerPost(off, count, inFlight));
            if (!(r % 2)) onTimes.push_back(microsPerPost(on, count, inFlight));
        }
        std::printf("%-16s %14.1f %14.1f %9.3f\n", name, median(offTimes), median(onTimes),
                    median(onTimes) / median(offTimes));
    }
    return 0;
}
