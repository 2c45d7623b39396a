// orvalis-sandbox: a local merchant server for offline tests of Orvalis hosts.
#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

#include "Sandbox.h"

namespace {

const char* const kUsage =
    "usage: orvalis-sandbox --merchant-cert FILE [options]\n"
    "  --merchant-cert FILE   PEM certificate (or public key) of the merchant's signing key\n"
    "  --port N               port on 127.0.0.1 (default 0: a free one)\n"
    "  --cert FILE --key FILE PEM server certificate and key (default: a self-signed pair is made)\n"
    "  --write-cert FILE      write the server certificate in use (PEM), for the client's trust\n"
    "  --port-file FILE       write the port in use once listening\n"
    "  --responses DIR        answer with DIR/<operation>.json or .xml where present\n"
    "  --consumer-key KEY     reject requests signed for another consumer key\n"
    "  --max-skew SECONDS     accepted clock difference (default 600)\n"
    "  --keep-alive SECONDS   how long idle client connections stay open (default 5)\n"
    "  --fail OP=MODE         MODE: errors, xml-error, http500, gzip-members, delay:MS or none; OP: an operation or '*'\n"
    "operations: initializepairing pairingid authorizepairing precheckoutdata expresscheckout paymentdata\n"
    "Stops on SIGINT or SIGTERM; exits 3 when any request was rejected.\n";

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    orvalis::sandbox::SandboxOptions options;
    std::string certOut, portFile;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << arg << " needs a value\n" << kUsage;
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--merchant-cert") {
            options.merchantCertificatePath = value();
        } else if (arg == "--port") {
            options.port = std::atoi(value().c_str());
        } else if (arg == "--cert") {
            options.serverCertificatePath = value();
        } else if (arg == "--key") {
            options.serverKeyPath = value();
        } else if (arg == "--write-cert") {
            certOut = value();
        } else if (arg == "--port-file") {
            portFile = value();
        } else if (arg == "--responses") {
            options.responsesDirectory = value();
        } else if (arg == "--consumer-key") {
            options.consumerKey = value();
        } else if (arg == "--max-skew") {
            options.maxClockSkew = std::chrono::seconds(std::atol(value().c_str()));
        } else if (arg == "--keep-alive") {
            options.keepAlive = std::chrono::seconds(std::atol(value().c_str()));
        } else if (arg == "--fail") {
            std::string failArg = value();
            auto eq = failArg.find('=');
            auto fault = eq == std::string::npos ? std::nullopt : orvalis::sandbox::Fault::parse(failArg.substr(eq + 1));
            if (!fault) {
                std::cerr << "bad --fail " << failArg << "\n" << kUsage;
                return 2;
            }
            options.faults[failArg.substr(0, eq)] = *fault;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else {
            std::cerr << "unknown argument " << arg << "\n" << kUsage;
            return 2;
        }
    }
    if (options.merchantCertificatePath.empty() || options.port < 0 || options.port > 65535) {
        std::cerr << kUsage;
        return 2;
    }

    // Signals are taken by one waiting thread, never by the server's threads.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    orvalis::sandbox::Sandbox sandbox(options);
    std::mutex out;
    sandbox.setObserver([&out](const orvalis::sandbox::RecordedRequest& r) {
        std::lock_guard lock(out);
        std::printf("%s %s %s\n", r.method.c_str(), r.path.c_str(), r.verdict.c_str());
        std::fflush(stdout);
    });
    std::string error;
    if (!sandbox.start(&error)) {
        std::cerr << "orvalis-sandbox: " << error << "\n";
        return 1;
    }
    if (!certOut.empty() && !writeFile(certOut, sandbox.serverCertificatePEM())) {
        std::cerr << "orvalis-sandbox: cannot write " << certOut << "\n";
        return 1;
    }
    if (!portFile.empty() && !writeFile(portFile, std::to_string(sandbox.port()) + "\n")) {
        std::cerr << "orvalis-sandbox: cannot write " << portFile << "\n";
        return 1;
    }
    {
        std::lock_guard lock(out);
        std::printf("listening on https://127.0.0.1:%d\n", sandbox.port());
        std::fflush(stdout);
    }

    int sig = 0;
    sigwait(&stopSignals, &sig);
    sandbox.stop();
    auto all = sandbox.requests().size();
    auto rejected = sandbox.rejectedCount();
    std::printf("%zu requests, %zu rejected\n", all, rejected);
    return rejected == 0 ? 0 : 3;
}
