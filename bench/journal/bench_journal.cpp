// Wall time of an express checkout POST against the sandbox with the journal off, in an SQLite file and
// in a PostgreSQL database, in the same run: one payment at a time (each pays for the journal's two
// synced writes) and 100 in flight (the writes of all of them share transactions). The modes take
// turns, five rounds; medians are shown. Then the journal alone: an entry and its outcome, one pair at
// a time, p50 and p90 in each store, and the same from eight processes writing one database at once.
// The file lives in TMPDIR (or /tmp); the database is a throwaway cluster on a Unix socket there
// (tests/support/pg_cluster.py), fsync on: the disk's sync time is what is measured.
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
#include <map>
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

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * (values.size() - 1))];
}

// Microseconds of each of count pairs (an entry, then its outcome), one pair at a time.
std::vector<double> pairTimes(Journal& journal, int count) {
    JournalEntry entry;
    entry.operation = "expressCheckout", entry.requestIds = {{"checkoutId", "chk-bench"}};
    entry.amount = 9.95, entry.currency = "EUR", entry.bodyDigest = std::string(64, 'a');
    JournalOutcome outcome;
    outcome.reached = Reached::Yes, outcome.statusCode = 200, outcome.answerIds = {{"transactionId", "tx-1"}};
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        entry.correlationId = "bench-" + std::to_string(i), entry.recordedAt = std::chrono::system_clock::now();
        const auto start = std::chrono::steady_clock::now();
        journal.recordOutcome(journal.recordAttempt(entry), outcome);
        times.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    return times;
}

int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A throwaway PostgreSQL cluster for the whole program.
struct Database {
    std::filesystem::path state;
    std::string conninfo;
    explicit Database(const std::filesystem::path& dir) : state(dir / "postgresql.conninfo") {
        if (run({"python3", ORVALIS_PG_CLUSTER, "start", state.string()}) != 0) {
            throw std::runtime_error("cannot start a PostgreSQL cluster");
        }
        conninfo = readAll(state);
        conninfo.erase(conninfo.find_last_not_of('\n') + 1);
    }
    ~Database() { run({"python3", ORVALIS_PG_CLUSTER, "stop", state.string()}); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "pairs") {  // one of the eight processes: p50 and seconds
        const auto start = std::chrono::steady_clock::now();
        const std::vector<double> times = pairTimes(*openJournal(argv[2]), std::atoi(argv[3]));
        std::printf("%f %f\n", median(times),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    Sandbox sandbox;
    Database database(sandbox.dir.path());
    ClientConfiguration c;
    c.host = sandbox.host, c.consumerKey = "bench", c.keyFileName = "merchant", c.keyFilePassword = kPassword;
    const Client off(c);
    c.journalPath = (sandbox.dir.path() / "bench.journal").string();
    const Client sqlite(c);
    c.journalPath = database.conninfo;
    const Client postgres(c);
    std::printf("journal: %s; %s\n%-14s %12s %12s %12s %11s %11s\n", (sandbox.dir.path() / "bench.journal").c_str(),
                database.conninfo.c_str(), "us/POST", "off", "SQLite", "PostgreSQL", "SQLite/off", "PG/off");
    for (const auto& [name, count, inFlight] : {std::tuple{"1 in flight", 200, 1}, {"100 in flight", 1000, 100}}) {
        std::map<const Client*, std::vector<double>> times;
        const std::vector<const Client*> modes{&off, &sqlite, &postgres};
        for (const Client* mode : modes) microsPerPost(*mode, inFlight, inFlight);  // connections made
        for (int r = 0; r < rounds; ++r) {
            // Each round in another order, so that drift on a busy machine hits all alike.
            for (std::size_t i = 0; i < modes.size(); ++i) {
                const Client* mode = modes[(i + r) % modes.size()];
                times[mode].push_back(microsPerPost(*mode, count, inFlight));
            }
        }
        const double o = median(times[&off]), s = median(times[&sqlite]), p = median(times[&postgres]);
        std::printf("%-14s %12.1f %12.1f %12.1f %11.3f %11.3f\n", name, o, s, p, s / o, p / o);
        if (inFlight > 1) std::printf("%-14s %12.0f %12.0f %12.0f   payments per second\n", "", 1e6 / o, 1e6 / s, 1e6 / p);
    }

    // The journal alone, one pair at a time; then eight processes on one database at once.
    const int pairs = 50 * rounds;
    std::printf("\n%-34s %9s %9s\n", "entry + outcome (us)", "p50", "p90");
    for (const auto& [name, path] : {std::pair{"SQLite", (sandbox.dir.path() / "pairs.journal").string()},
                                     {"PostgreSQL, one process", database.conninfo}}) {
        const std::vector<double> times = pairTimes(*openJournal(path), pairs);
        std::printf("%-34s %9.0f %9.0f\n", name, percentile(times, 0.5), percentile(times, 0.9));
    }
    std::vector<pid_t> workers(8);
    std::vector<std::filesystem::path> outputs;
    for (std::size_t i = 0; i < workers.size(); ++i) {
        outputs.push_back(sandbox.dir.path() / ("pairs-" + std::to_string(i)));
        std::vector<std::string> args{"bench_journal", "pairs", database.conninfo, std::to_string(pairs)};
        std::vector<char*> wargv;
        for (auto& a : args) wargv.push_back(a.data());
        wargv.push_back(nullptr);
        posix_spawn_file_actions_t out;
        posix_spawn_file_actions_init(&out);
        posix_spawn_file_actions_addopen(&out, STDOUT_FILENO, outputs.back().c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn(&workers[i], "/proc/self/exe", &out, nullptr, wargv.data(), environ);
        posix_spawn_file_actions_destroy(&out);
    }
    std::vector<double> p50s;
    double longest = 0;
    for (std::size_t i = 0; i < workers.size(); ++i) {
        waitpid(workers[i], nullptr, 0);
        double p50 = 0, seconds = 0;
        std::istringstream(readAll(outputs[i])) >> p50 >> seconds;
        p50s.push_back(p50), longest = std::max(longest, seconds);
    }
    std::printf("%-34s %9.0f %9s   %.0f pairs per second in all\n", "PostgreSQL, eight processes (median)",
                median(p50s), "", workers.size() * pairs / longest);
    return 0;
}
