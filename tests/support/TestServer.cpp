#include "TestServer.h"

#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <malloc.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace orvalis::testsupport {
namespace {

std::string quoted(const std::string& s) {  // for sh
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string pinOf(X509* cert) {
    unsigned char* der = nullptr;
    const int len = i2d_PUBKEY(X509_get0_pubkey(cert), &der);
    unsigned char digest[32], b64[48];
    EVP_Q_digest(nullptr, "SHA256", nullptr, der, static_cast<size_t>(len), digest, nullptr);
    OPENSSL_free(der);
    EVP_EncodeBlock(b64, digest, 32);
    return "sha256//" + std::string(reinterpret_cast<char*>(b64));
}

long number(const std::optional<std::string>& json, const std::string& key) {
    auto v = json ? JSONSerialization::JSONObjectWithData(*json).value : std::nullopt;
    const Value* n = v && v->isDictionary() ? v->asDictionary().find(key) : nullptr;
    return n && n->isInteger() ? static_cast<long>(n->asInteger()) : -1;
}

}  // namespace

Ended runChild(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    std::string command = "exec timeout -k 5 240 env";
    for (const auto& a : env) command += " " + quoted(a);
    for (const auto& a : argv) command += " " + quoted(a);
    FILE* child = popen(command.c_str(), "re");
    if (child == nullptr) throw std::runtime_error("cannot start " + argv[0]);
    Ended ended{0, {}};
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, child)) > 0;) ended.out.append(buf, n);
    ended.status = pclose(child);
    return ended;
}

TestServer::TestServer() {
    const Identity ca = writeEcIdentity(
        dir_, "ca", {.commonName = "Transport Test CA", .dnsNames = {}, .ipAddresses = {}, .isCA = true});
    caFile_ = (dir_.path() / "ca.pem").string();
    long serial = 2;
    auto issue = [&](const std::string& name, CertOptions o, bool selfSigned = false) {
        o.serial = serial++;
        return pinOf(writeEcIdentity(dir_, name, o, selfSigned ? nullptr : &ca).cert.get());
    };
    goodPin_ = issue("good", localhostCertOptions());
    issue("wrong", {.commonName = "other.invalid", .dnsNames = {"other.invalid"}, .ipAddresses = {}});
    issue("self", localhostCertOptions(), true);
    // Never closed: pclose would wait for the server, which ends when this process does.
    const std::string command = "exec " + quoted(ORVALIS_TEST_SERVER_PYTHON) + " " +
                                quoted(ORVALIS_TEST_SERVER_SCRIPT) + " " + quoted(dir_.path());
    FILE* child = popen(command.c_str(), "re");
    char line[512];
    if (child == nullptr || std::fgets(line, sizeof line, child) == nullptr)
        throw std::runtime_error("the test server did not start");
    ports_ = line;
}

std::string TestServer::url(const std::string& path, const std::string& port, const char* host) const {
    const long number = testsupport::number(ports_, port);
    if (number <= 0) throw std::invalid_argument(port);
    return (port == "plain" || port == "proxy" ? "http://" : "https://") + std::string(host) + ":" +
           std::to_string(number) + path;
}

long TestServer::stat(const std::string& name) const { return number(fetch(get(url("/stats"))).data, name); }

TestServer& sharedServer() {
    static TestServer server;
    static const bool trusted = URLSession::sharedSession().configuration().addTrustedCertificates(server.caFile());
    if (!trusted) throw std::runtime_error("the test CA was not accepted");
    return server;
}

std::future<Outcome> start(const URLRequest& request) {
    auto promise = std::make_shared<std::promise<Outcome>>();
    URLSession::sharedSession()
        .dataTaskWithRequest(request,
            [promise](auto data, auto response, auto error) {
                promise->set_value({std::move(data), std::move(response), std::move(error)});
            })
        .resume();
    return promise->get_future();
}

Outcome fetch(const URLRequest& request, std::chrono::seconds limit) {
    std::future<Outcome> f = start(request);
    if (f.wait_for(limit) == std::future_status::ready) return f.get();
    return {std::nullopt, std::nullopt, Error::withDescription("test", 0, "no completion within the time limit")};
}

URLRequest request(const std::string& url, const char* method, std::optional<std::string> body, double timeout) {
    URLRequest r(url, URLRequestReloadIgnoringLocalCacheData, timeout);
    r.setHTTPMethod(method);
    r.setHTTPBody(std::move(body));
    return r;
}

URLRequest get(const std::string& url, double timeout) { return request(url, "GET", std::nullopt, timeout); }

std::string postgresCluster() {
    std::string line;
    if (const char* file = std::getenv("ORVALIS_TEST_POSTGRESQL")) std::getline(std::ifstream(file), line);
    return line;
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
