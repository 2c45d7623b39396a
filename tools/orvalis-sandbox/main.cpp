// orvalis-sandbox: a local merchant server for offline tests of Orvalis hosts.
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "Sandbox.h"
#include "ToolSupport.h"

namespace {

using orvalis::tools::kExitDone;
using orvalis::tools::kExitFailed;
using orvalis::tools::kExitUsage;
using orvalis::tools::Option;
using orvalis::tools::parseOptions;
using orvalis::tools::UsageError;
using orvalis::tools::versionText;

const char* const kUsage =
    "usage: orvalis-sandbox --merchant-cert FILE [options]\n"
    "  --merchant-cert FILE   PEM certificate (or public key) of the merchant's signing key\n"
    "  --port N               port to listen on (default 0: a free one)\n"
    "  --bind ADDRESS         address to listen on (default 127.0.0.1; the certificate made names it)\n"
    "  --cert FILE --key FILE PEM server certificate and key (default: a self-signed pair is made)\n"
    "  --write-cert FILE      write the server certificate in use (PEM), for the client's trust (\"-\": stdout,\n"
    "                         the log lines then go to stderr)\n"
    "  --port-file FILE       write the port in use once listening\n"
    "  --responses DIR        answer with DIR/<operation>.json or .xml where present\n"
    "  --consumer-key KEY     reject requests signed for another consumer key\n"
    "  --max-skew SECONDS     accepted clock difference (default 600)\n"
    "  --keep-alive SECONDS   how long idle client connections stay open (default 5)\n"
    "  --request-log FILE     append one line per request received, written before it is answered:\n"
    "                         method, path, verdict, oauth_nonce (\"-\" when none)\n"
    "  --fail OP=MODE         MODE: errors, xml-error, http500, gzip-members, delay:MS, unavailable:N\n"
    "                         (503 with Retry-After: 1 for the next N requests) or none; OP: an operation or '*'\n"
    "  -h, --help             this text\n"
    "  -V, --version          the version\n"
    "operations: initializepairing pairingid authorizepairing precheckoutdata expresscheckout paymentdata\n"
    "Every option also takes its value as --name=VALUE; one FILE may be \"-\" (standard input, or\n"
    "standard output for --write-cert and --port-file). Stops on SIGINT or SIGTERM.\n"
    "Exit status: 0 every request accepted, 1 failed (the reason follows), 2 bad usage,\n"
    "3 some request was rejected.\n";

struct Settings {
    orvalis::sandbox::SandboxOptions options;
    std::string certOut, portFile, requestLog;
    bool help = false, version = false;
};

long number(const std::string& text, const char* what) {
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || n < 0) throw UsageError(std::string(what) + " takes a number: " + text);
    return n;
}

constexpr Option<Settings> kOptions[] = {
    {"help", 'h', false, [](Settings& s, const std::string&) { s.help = true; }},
    {"version", 'V', false, [](Settings& s, const std::string&) { s.version = true; }},
    {"merchant-cert", 0, true, [](Settings& s, const std::string& v) { s.options.merchantCertificatePath = v; }},
    {"port", 0, true, [](Settings& s, const std::string& v) { s.options.port = static_cast<int>(number(v, "--port")); }},
    {"cert", 0, true, [](Settings& s, const std::string& v) { s.options.serverCertificatePath = v; }},
    {"key", 0, true, [](Settings& s, const std::string& v) { s.options.serverKeyPath = v; }},
    {"write-cert", 0, true, [](Settings& s, const std::string& v) { s.certOut = v; }},
    {"bind", 0, true, [](Settings& s, const std::string& v) { s.options.bindAddress = v; }},
    {"port-file", 0, true, [](Settings& s, const std::string& v) { s.portFile = v; }},
    {"request-log", 0, true, [](Settings& s, const std::string& v) { s.requestLog = v; }},
    {"responses", 0, true, [](Settings& s, const std::string& v) { s.options.responsesDirectory = v; }},
    {"consumer-key", 0, true, [](Settings& s, const std::string& v) { s.options.consumerKey = v; }},
    {"max-skew", 0, true,
     [](Settings& s, const std::string& v) { s.options.maxClockSkew = std::chrono::seconds(number(v, "--max-skew")); }},
    {"keep-alive", 0, true,
     [](Settings& s, const std::string& v) { s.options.keepAlive = std::chrono::seconds(number(v, "--keep-alive")); }},
    {"fail", 0, true,
     [](Settings& s, const std::string& v) {
         auto eq = v.find('=');
         auto fault = eq == std::string::npos ? std::nullopt : orvalis::sandbox::Fault::parse(v.substr(eq + 1));
         if (!fault) throw UsageError("bad --fail " + v);
         s.options.faults[v.substr(0, eq)] = *fault;
     }},
};

// The oauth_nonce of an Authorization header, "-" when there is none.
std::string nonceOf(const std::string& authorization) {
    const std::string key = "oauth_nonce=\"";
    const std::size_t start = authorization.find(key);
    const std::size_t end = start == std::string::npos ? start : authorization.find('"', start + key.size());
    if (end == std::string::npos || end == start + key.size()) return "-";
    return authorization.substr(start + key.size(), end - start - key.size());
}

// Writes text to path ("-": standard output); false with the system's reason on err.
bool writeFile(const std::string& path, const std::string& text) {
    std::FILE* f = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (f == stdout ? std::fflush(f) == 0 : (f != nullptr && std::fclose(f) == 0)) && ok;
    if (!ok) std::cerr << "orvalis-sandbox: cannot write " << path << ": " << std::strerror(errno) << "\n";
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    try {
        if (!parseOptions<Settings>({argv + 1, argv + argc}, kOptions, settings).empty()) {
            throw UsageError("unexpected argument");
        }
        if (!settings.help && !settings.version && settings.options.merchantCertificatePath.empty()) {
            throw UsageError("--merchant-cert is required");
        }
        if (settings.options.port > 65535) throw UsageError("--port is at most 65535");
        const auto& o = settings.options;
        if ((o.merchantCertificatePath == "-") + (o.serverCertificatePath == "-") + (o.serverKeyPath == "-") > 1) {
            throw UsageError("standard input (\"-\") can be read for one option only");
        }
    } catch (const UsageError& e) {
        std::cerr << "orvalis-sandbox: " << e.what() << "\nTry 'orvalis-sandbox --help'.\n";
        return kExitUsage;
    }
    if (settings.help || settings.version) {
        std::cout << (settings.help ? std::string(kUsage) : versionText("orvalis-sandbox"));
        return kExitDone;
    }
    auto& options = settings.options;
    const std::string& certOut = settings.certOut;
    const std::string& portFile = settings.portFile;

    // Signals are taken by one waiting thread, never by the server's threads.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // The certificate on standard output stays alone there, for a pipe.
    std::FILE* const log = certOut == "-" ? stderr : stdout;
    orvalis::sandbox::Sandbox sandbox(options);
    std::mutex out;
    std::FILE* requests = nullptr;
    if (!settings.requestLog.empty() && (requests = std::fopen(settings.requestLog.c_str(), "a")) == nullptr) {
        std::cerr << "orvalis-sandbox: cannot write " << settings.requestLog << ": " << std::strerror(errno) << "\n";
        return kExitFailed;
    }
    sandbox.setObserver([&out, log, requests](const orvalis::sandbox::RecordedRequest& r) {
        std::lock_guard lock(out);
        std::fprintf(log, "%s %s %s\n", r.method.c_str(), r.path.c_str(), r.verdict.c_str());
        std::fflush(log);
        if (requests != nullptr) {
            // Flushed before the answer leaves: a client that saw an answer finds its request here.
            std::fprintf(requests, "%s %s %s %s\n", r.method.c_str(), r.path.c_str(), r.verdict.c_str(),
                         nonceOf(r.authorization).c_str());
            std::fflush(requests);
        }
    });
    std::string error;
    if (!sandbox.start(&error)) {
        std::cerr << "orvalis-sandbox: " << error << "\n";
        return 1;
    }
    if ((!certOut.empty() && !writeFile(certOut, sandbox.serverCertificatePEM())) ||
        (!portFile.empty() && !writeFile(portFile, std::to_string(sandbox.port()) + "\n"))) {
        return kExitFailed;
    }
    {
        std::lock_guard lock(out);
        const std::string& host = options.bindAddress;
        const bool ipv6 = host.find(':') != std::string::npos;
        std::fprintf(log, "listening on https://%s%s%s:%d\n", ipv6 ? "[" : "", host.c_str(), ipv6 ? "]" : "",
                     sandbox.port());
        std::fflush(log);
    }

    int sig = 0;
    sigwait(&stopSignals, &sig);
    sandbox.stop();
    auto all = sandbox.requests().size();
    auto rejected = sandbox.rejectedCount();
    std::fprintf(log, "%zu requests, %zu rejected\n", all, rejected);
    return rejected == 0 ? kExitDone : 3;
}
