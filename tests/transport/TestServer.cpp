#include "TestServer.h"

#include <Orvalis/Foundation/URLSession.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace orvalis::transporttest {

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
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) envStrings.emplace_back(*e);
    envStrings.insert(envStrings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
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
    closeInput();
    if (pid_ > 0) wait(std::chrono::seconds(5));
    if (out_ >= 0) close(out_);
}

std::string ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (auto nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd p{out_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) return {};
        buffered_.append(buf, static_cast<size_t>(n));
    }
}

void ChildProcess::closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
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

int jsonInt(const std::string& json, const char* key) {
    std::string needle = std::string("\"") + key + "\": ";
    auto at = json.find(needle);
    if (at == std::string::npos) throw std::runtime_error("test server did not report " + std::string(key));
    return std::stoi(json.substr(at + needle.size()));
}

std::string pinOf(X509* cert) {
    unsigned char* der = nullptr;
    int len = i2d_PUBKEY(X509_get0_pubkey(cert), &der);
    unsigned char digest[32];
    unsigned int dlen = 0;
    EVP_Digest(der, static_cast<size_t>(len), digest, &dlen, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    unsigned char b64[64];
    EVP_EncodeBlock(b64, digest, 32);
    return "sha256//" + std::string(reinterpret_cast<char*>(b64));
}

}  // namespace

TestServer::TestServer() {
    using namespace testsupport;
    Identity ca;
    ca.key = makeEcKey();
    CertOptions caOptions;
    caOptions.commonName = "Transport Test CA";
    caOptions.isCA = true;
    ca.cert = makeSelfSignedCert(ca.key.get(), caOptions);
    caFile_ = dir_.write("ca.pem", certPem(ca.cert.get())).string();

    auto issue = [&](const char* name, const CertOptions& options, bool selfSigned, long serial) {
        PKeyPtr key = makeEcKey();
        CertOptions o = options;
        o.serial = serial;
        X509Ptr cert =
            selfSigned ? makeSelfSignedCert(key.get(), o) : makeSignedCert(key.get(), o, ca.cert.get(), ca.key.get());
        dir_.write(std::string(name) + ".pem", certPem(cert.get()));
        dir_.write(std::string(name) + ".key", privateKeyPem(key.get()));
        return pinOf(cert.get());
    };
    goodPin_ = issue("good", localhostCertOptions(), false, 2);
    CertOptions wrong;
    wrong.commonName = "other.invalid";
    wrong.dnsNames = {"other.invalid"};
    issue("wrong", wrong, false, 3);
    issue("self", localhostCertOptions(), true, 4);
    CertOptions expired = localhostCertOptions();
    expired.notBeforeOffset = -7200;
    expired.notAfterOffset = -3600;
    issue("expired", expired, false, 5);
    CertOptions future = localhostCertOptions();
    future.notBeforeOffset = 3600;
    future.notAfterOffset = 7200;
    issue("future", future, false, 6);

    child_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"python3", ORVALIS_TEST_SERVER_SCRIPT, dir_.path().string()});
    std::string line = child_->readLine(std::chrono::seconds(20));
    if (line.empty()) throw std::runtime_error("the test server did not start");
    good_ = jsonInt(line, "good");
    wrong_ = jsonInt(line, "wrong");
    self_ = jsonInt(line, "self");
    tls11_ = jsonInt(line, "tls11");
    expired_ = jsonInt(line, "expired");
    future_ = jsonInt(line, "future");
}

TestServer::~TestServer() {
    child_->closeInput();
    child_->wait(std::chrono::seconds(5));
}

int TestServer::port(const char* which) const {
    std::string w = which;
    if (w == "good") return good_;
    if (w == "wrong") return wrong_;
    if (w == "self") return self_;
    if (w == "tls11") return tls11_;
    if (w == "expired") return expired_;
    if (w == "future") return future_;
    throw std::invalid_argument(w);
}

std::string TestServer::url(const std::string& path, const char* which, const char* host) const {
    return "https://" + std::string(host) + ":" + std::to_string(port(which)) + path;
}

TestServer& sharedServer() {
    // Lives until exit; its destructor stops the child process.
    static TestServer server;
    static const bool trusted = URLSession::sharedSession().configuration().addTrustedCertificates(server.caFile());
    if (!trusted) throw std::runtime_error("the test CA was not accepted");
    return server;
}

int closedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace orvalis::transporttest
