#include "Nginx.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace orvalis::testsupport {
namespace {

// A port nothing listens on now (the system's pick; nginx binds it right after), or whether port accepts.
int probe(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t n = sizeof a;
    auto* at = reinterpret_cast<sockaddr*>(&a);
    const bool ok =
        s >= 0 && (port ? ::connect(s, at, n) == 0 : ::bind(s, at, n) == 0 && ::getsockname(s, at, &n) == 0);
    if (s >= 0) ::close(s);
    if (!port && !ok) throw std::runtime_error("no free port");
    return port ? ok : ntohs(a.sin_port);
}

}  // namespace

Nginx::Nginx(const std::map<std::string, std::string>& files) {
    const Identity ca =
        writeEcIdentity(dir_, "ca", {.commonName = "nginx test CA", .dnsNames = {}, .ipAddresses = {}, .isCA = true});
    CertOptions leaf = localhostCertOptions();
    leaf.serial = 2;
    writeEcIdentity(dir_, "server", leaf, &ca);
    for (const char* sub : {"www", "temp"}) std::filesystem::create_directory(dir_.path() / sub);
    for (const auto& [path, bytes] : files) {
        std::filesystem::create_directories((dir_.path() / ("www" + path)).parent_path());
        dir_.write("www" + path, bytes);
    }

    const std::string d = dir_.path().string() + "/";
    for (int attempt = 0; attempt < 3 && pid_ < 0; ++attempt) {
        ports_[0] = probe(0), ports_[1] = probe(0);
        auto server = [&](int port, const char* http2) {
            return "server { listen 127.0.0.1:" + std::to_string(port) + " ssl" + http2 + "; ssl_certificate " + d +
                   "server.pem; ssl_certificate_key " + d + "server.key; ssl_protocols TLSv1.3; root " + d +
                   // nginx answers POST to a file with 405: answered with the file instead.
                   "www; location / { error_page 405 =200 $uri; } }\n";
        };
        // One process (no master, no workers) so that it ends with this one; every path in the folder.
        dir_.write("nginx.conf", "master_process off; daemon off; pid " + d + "nginx.pid; error_log " + d +
                                     "error.log warn;\nevents { worker_connections 8192; }\nhttp { access_log off; "
                                     "default_type application/json; client_body_temp_path " +
                                     d + "temp/body; proxy_temp_path " + d + "temp/proxy; fastcgi_temp_path " + d +
                                     "temp/fastcgi; uwsgi_temp_path " + d + "temp/uwsgi; scgi_temp_path " + d +
                                     "temp/scgi;\n" + server(ports_[0], " http2") + server(ports_[1], "") + "}\n");
        const std::string conf = d + "nginx.conf", log = d + "error.log";
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            ::execl(ORVALIS_NGINX, "nginx", "-p", d.c_str(), "-e", log.c_str(), "-c", conf.c_str(), nullptr);
            ::_exit(127);
        }
        if (pid < 0) throw std::runtime_error("cannot start nginx");
        for (int i = 0; i < 1000; ++i) {                         // 10 s at most
            if (::waitpid(pid, nullptr, WNOHANG) == pid) break;  // a port was taken meanwhile: again
            if (probe(ports_[0]) && probe(ports_[1])) {
                pid_ = pid;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (pid_ < 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
    }
    if (pid_ < 0) {
        std::ifstream log(dir_.path() / "error.log");
        throw std::runtime_error(
            "nginx (" ORVALIS_NGINX ") did not start: " + std::string(std::istreambuf_iterator<char>(log), {}));
    }
}

Nginx::~Nginx() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
}

std::string Nginx::url(const std::string& path, bool http2) const { return "https://" + host(http2) + path; }

std::string Nginx::host(bool http2) const { return "127.0.0.1:" + std::to_string(ports_[http2 ? 0 : 1]); }

}  // namespace orvalis::testsupport
