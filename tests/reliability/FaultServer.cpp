#include "FaultServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace orvalis::reliability {

namespace {

// Reads the "PORT <n>" line, waiting at most timeoutMs in total.
int readPort(int fd, int timeoutMs) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return 0;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[64];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return 0;
        line.append(buf, static_cast<std::size_t>(n));
    }
    if (line.rfind("PORT ", 0) != 0) return 0;
    return std::atoi(line.c_str() + 5);
}

}  // namespace

FaultServer::FaultServer(const std::string& certFile, const std::string& keyFile) : tls_(!certFile.empty()) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> args{"python3", ORVALIS_FAULT_SERVER};
    if (tls_) args.insert(args.end(), {"--cert", certFile, "--key", keyFile});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int rc = posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdinFd_ = in[1];
    if (rc != 0) {
        pid_ = -1;
        close(out[0]);
        stop();
        throw std::runtime_error(std::string("cannot start python3: ") + std::strerror(rc));
    }
    port_ = readPort(out[0], 15000);
    close(out[0]);
    if (port_ <= 0) {
        stop();
        throw std::runtime_error("fault server did not report its port");
    }
}

FaultServer::~FaultServer() { stop(); }

std::string FaultServer::baseURL() const {
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_);
}

void FaultServer::stop() noexcept {
    if (stdinFd_ >= 0) {
        close(stdinFd_);
        stdinFd_ = -1;
    }
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 200; ++i) {  // up to 2 s
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace orvalis::reliability
