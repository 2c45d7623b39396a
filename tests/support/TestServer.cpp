#include "TestServer.h"

#include <Orvalis/Foundation/JSONSerialization.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

extern char** environ;

namespace orvalis::testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int inPipe[2], outPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings(env);
    for (char** e = environ; *e != nullptr; ++e) envStrings.emplace_back(*e);  // the first entry of a name wins
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0]);
    }
}

ChildProcess::~ChildProcess() {
    wait(std::chrono::seconds(5));
    close(out_);
}

bool ChildProcess::fill(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{out_, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n > 0) buffered_.append(buf, static_cast<size_t>(n));
    return n > 0;
}

std::string ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    size_t nl;
    while ((nl = buffered_.find('\n')) == std::string::npos)
        if (!fill(deadline)) return std::exchange(buffered_, {});
    std::string line = buffered_.substr(0, nl);
    buffered_.erase(0, nl + 1);
    return line;
}

std::string ChildProcess::readAll(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fill(deadline)) {
    }
    return std::exchange(buffered_, {});
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (in_ >= 0) close(in_);
    in_ = -1;
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

namespace {

std::string pinOf(X509* cert) {
    unsigned char* der = nullptr;
    const int len = i2d_PUBKEY(X509_get0_pubkey(cert), &der);
    unsigned char digest[32], b64[64];
    unsigned int dlen = 0;
    EVP_Digest(der, static_cast<size_t>(len), digest, &dlen, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    EVP_EncodeBlock(b64, digest, 32);
    return "sha256//" + std::string(reinterpret_cast<char*>(b64));
}

long number(const std::optional<std::string>& json, const std::string& key) {
    auto v = json ? JSONSerialization::JSONObjectWithData(*json) : std::nullopt;
    const Value* n = v && v->isDictionary() ? v->asDictionary().find(key) : nullptr;
    return n && n->isInteger() ? static_cast<long>(n->asInteger()) : -1;
}

}  // namespace

TestServer::TestServer() {
    Identity ca;
    ca.key = makeEcKey();
    CertOptions caOptions;
    caOptions.commonName = "Transport Test CA";
    caOptions.isCA = true;
    ca.cert = makeSelfSignedCert(ca.key.get(), caOptions);
    caFile_ = dir_.write("ca.pem", certPem(ca.cert.get())).string();
    long serial = 2;
    auto issue = [&](const char* name, CertOptions o, bool selfSigned = false, PKeyPtr key = makeEcKey()) {
        o.serial = serial++;
        X509Ptr cert = selfSigned ? makeSelfSignedCert(key.get(), o) : makeSignedCert(key.get(), o, ca.cert.get(), ca.key.get());
        dir_.write(std::string(name) + ".pem", certPem(cert.get()));
        dir_.write(std::string(name) + ".key", privateKeyPem(key.get()));
        return pinOf(cert.get());
    };
    goodPin_ = issue("good", localhostCertOptions());
    CertOptions wrong;
    wrong.commonName = "other.invalid";
    wrong.dnsNames = {"other.invalid"};
    issue("wrong", wrong);
    issue("self", localhostCertOptions(), true);
    CertOptions expired = localhostCertOptions(), future = localhostCertOptions();
    expired.notBeforeOffset = -7200;
    expired.notAfterOffset = -3600;
    issue("expired", expired);
    future.notBeforeOffset = 3600;
    future.notAfterOffset = 7200;
    issue("future", future);
    issue("weak", localhostCertOptions(), false, makeRsaKey(1024));

    child_ = std::make_unique<ChildProcess>(std::vector<std::string>{"python3", ORVALIS_TEST_SERVER_SCRIPT, dir_.path().string()});
    ports_ = child_->readLine(std::chrono::seconds(20));
    if (ports_.empty()) throw std::runtime_error("the test server did not start");
}

std::string TestServer::url(const std::string& path, const std::string& port, const char* host) const {
    const long number = testsupport::number(ports_, port);
    if (number <= 0) throw std::invalid_argument(port);
    return (port == "plain" ? "http://" : "https://") + std::string(host) + ":" + std::to_string(number) + path;
}

long TestServer::stat(const std::string& name) const { return number(fetch(get(url("/stats"))).data, name); }

TestServer& sharedServer() {
    static TestServer server;  // lives until exit; its child ends when our end of its stdin closes
    static const bool trusted = URLSession::sharedSession().configuration().addTrustedCertificates(server.caFile());
    if (!trusted) throw std::runtime_error("the test CA was not accepted");
    return server;
}

int closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

std::future<Outcome> start(const URLRequest& request) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    std::future<Outcome> future = promise->get_future();
    URLSession::sharedSession()
        .dataTaskWithRequest(request,
                             [promise, calls](std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                                              std::optional<Error> error) {
                                 if (calls->fetch_add(1) != 0) return;
                                 promise->set_value({std::move(data), std::move(response), std::move(error),
                                                     std::this_thread::get_id(), calls});
                             })
        .resume();
    return future;
}

Outcome fetch(const URLRequest& request, std::chrono::seconds limit) {
    std::future<Outcome> f = start(request);
    if (f.wait_for(limit) == std::future_status::ready) return f.get();
    Outcome none;
    none.error = Error::withDescription("test", 0, "no completion within the time limit");
    return none;
}

URLRequest get(const std::string& url, double timeout) {
    URLRequest r(url, URLRequestReloadIgnoringLocalCacheData, timeout);
    r.setHTTPMethod("GET");
    return r;
}

std::size_t residentBytes() {
    malloc_trim(0);  // otherwise freed arenas stay resident and hide a return to baseline
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::size_t peakResidentBytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

}  // namespace orvalis::testsupport
