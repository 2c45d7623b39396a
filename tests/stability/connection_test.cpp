// Connection handling under servers that hold or drop connections.
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLSession.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

using namespace orvalis;

namespace {

// A plain-HTTP listener on 127.0.0.1 that accepts connections and never answers.
// It holds them until `wanted` are open at once or its deadline passes, then
// closes them all, and keeps closing later ones unanswered until stopped.
class SilentServer {
public:
    explicit SilentServer(int wanted) : wanted_(wanted) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 64) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~SilentServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }
    // How many connections were open together while the server held them.
    int heldTogether() const { return held_.load(); }

private:
    void run() {
        std::vector<int> open;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        bool holding = true;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) == 1) {
                int c = ::accept(fd_, nullptr, nullptr);
                if (c >= 0) open.push_back(c);
            }
            if (holding) held_ = static_cast<int>(open.size());
            if (holding && (static_cast<int>(open.size()) >= wanted_ || std::chrono::steady_clock::now() > deadline)) {
                holding = false;
            }
            if (!holding) {
                for (int c : open) ::close(c);
                open.clear();
            }
        }
        for (int c : open) ::close(c);
    }

    int wanted_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> held_{0};
    std::thread thread_;
};

TEST(ConnectionTest, PlainHttpTasksDoNotQueueBehindAServerThatNeverAnswers) {
    setLogHandler(LogHandler());
    constexpr int kTasks = 4;
    SilentServer server(kTasks);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/silent";

    std::mutex m;
    std::condition_variable cv;
    int done = 0, failed = 0;
    for (int i = 0; i < kTasks; ++i) {
        URLRequest request(url, URLRequestReloadIgnoringLocalCacheData, 20);
        URLSession::sharedSession()
            .dataTaskWithRequest(
                request,
                [&](std::optional<std::string>, std::optional<HTTPURLResponse>, std::optional<Error> e) {
                    std::lock_guard lock(m);
                    ++done;
                    if (e && e->domain() == URLErrorDomain) ++failed;
                    cv.notify_all();
                })
            .resume();
    }
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return done == kTasks; }));
    // Each task opened its own connection instead of waiting for the first to
    // show whether it could be shared; each then failed as a lost connection.
    EXPECT_EQ(server.heldTogether(), kTasks);
    EXPECT_EQ(failed, kTasks);
    resetLogHandler();
}

}  // namespace
