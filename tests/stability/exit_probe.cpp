// A host that exits while its first completion is still running past the exit
// handler's wait, with other tasks already finished behind it. Prints "late"
// for each completion that runs after main returned.
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace orvalis;

namespace {

std::atomic<bool> mainReturned{false};
std::atomic<bool> firstEntered{false};

std::vector<std::string>& seen() {
    static std::vector<std::string> s;  // destroyed early in exit, like any host static
    return s;
}

// Runs last at exit: keeps the process alive while the delivery thread resumes.
void slowExit() { std::this_thread::sleep_for(std::chrono::seconds(3)); }

// A port on 127.0.0.1 with nothing listening: every task fails at once.
int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

}  // namespace

int main() {
    std::atexit(&slowExit);
    seen().reserve(16);
    setLogHandler(LogHandler());
    const std::string url = "http://127.0.0.1:" + std::to_string(closedPort()) + "/";
    for (int i = 0; i < 8; ++i) {
        URLRequest request(url, URLRequestReloadIgnoringLocalCacheData, 5);
        URLSession::sharedSession()
            .dataTaskWithRequest(request,
                                 [](std::optional<std::string>, std::optional<HTTPURLResponse>, std::optional<Error>) {
                                     if (!firstEntered.exchange(true)) {
                                         // Outlasts the exit handler's wait.
                                         std::this_thread::sleep_for(std::chrono::milliseconds(2500));
                                         return;
                                     }
                                     if (mainReturned.load()) {
                                         (void)!::write(2, "late\n", 5);
                                         seen().push_back("late");
                                     }
                                 })
            .resume();
    }
    for (int i = 0; i < 500 && !firstEntered.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Give the other transfers time to fail, so that they wait behind the first.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    (void)!::write(1, "exiting\n", 8);
    mainReturned = true;
    return 0;
}
