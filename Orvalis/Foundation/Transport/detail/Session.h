#pragma once

// Internal to the transport: not installed. A transfer's state and the
// session that runs transfers on its delivery thread: URLSession.cpp holds the
// session's loop and the public face, detail/Transfer.cpp one transfer (easy
// handle set-up, callbacks, finishing), detail/Delivery.cpp the calls other
// code schedules on the thread.
#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/ContentDecoder.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/TransportSettings.h>
#include <curl/curl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace orvalis::detail {

using Clock = std::chrono::steady_clock;

// Servers close idle connections after a few seconds (2 s is common). A request
// written just as one closes may have reached it and is never sent again, so a
// connection idle this long is not reused: the race stays on the server's side.
inline constexpr long kMaxIdleSecondsForReuse = 2;
// libcurl drops a connection when its idle time in whole seconds (rounded down)
// exceeds CURLOPT_MAXAGE_CONN: 1 there means idle 2 s or more.
inline constexpr long kMaxAgeConnOption = kMaxIdleSecondsForReuse - 1;
// How long a fork waits for each delivery thread to stop between two steps, so
// that the child inherits none of its locks half-held; a thread busy in a host
// callback past this is not waited for.
inline constexpr std::chrono::milliseconds kForkPauseWait{1000};
// Easy handles kept for reuse once their transfer is done: enough for a burst on
// the default connections per host; more are made and freed as needed.
inline constexpr std::size_t kMaxSpareEasyHandles = 32;

// Set on the delivery thread when a transfer was handed a whole receive buffer at once:
// libcurl's HTTP/2 layer may hold more of that answer, and no socket event announces it.
inline thread_local bool tlWholeBufferTaken = false;

using EasyHandle = std::unique_ptr<CURL, Deleter<curl_easy_cleanup>>;
using HeaderList = std::unique_ptr<curl_slist, Deleter<curl_slist_free_all>>;

// What the host configured: extra trust anchors and public-key pins. Immutable once
// published, so the delivery thread reads a snapshot without holding a lock.
struct TrustSettings {
    std::vector<std::shared_ptr<X509>> certificates;
    std::string pem;  // the same anchors as PEM text, for transfers with anchors of their own
    int generation = 0;  // how often anchors were added
    std::map<std::string, std::string> pins;  // lower-case host -> "sha256//...;..."
};

// Shared by a task and the handle that created it, so that the host can cancel
// after resume() has handed the task over.
struct TaskControl {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> mayHaveBeenSent{false};
    URLSessionTaskMetrics metrics;  // written before the completion runs
    TaskState* live = nullptr;  // delivery thread only: the task while libcurl runs it
};

struct TaskState {
    std::string url;
    std::string method;
    std::optional<std::string> requestBody;
    std::vector<std::pair<std::string, std::string>> requestHeaders;
    double timeout = 60.0;
    std::optional<Clock::time_point> deadline;
    std::shared_ptr<TaskControl> control;
    DataTaskCompletion completion;
    std::optional<Error> refusal;  // refused before sending: delivered as is

    // Owned while the transfer runs (libcurl keeps pointers into them).
    EasyHandle easy;
    HeaderList headerList;
    std::string pin;
    std::shared_ptr<const TrustSettings> trust;
    std::shared_ptr<const TransportSettings> settings;  // the client's own, if any
    std::shared_ptr<const std::string> caBlob;
    std::string proxy;  // the proxy named by the client, for messages ("" when none)
    std::string caFile;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    std::string body;
    HTTPURLResponse response;
    bool sawHeaders = false;
    std::uint64_t maxBody = 0;
    bool bodyTooLarge = false;
    bool outOfMemory = false;
    // libcurl's own decoding is off (it stops after the first gzip member): the
    // body is decoded here, and the size cap applies to the decoded bytes.
    ContentDecoder decoder;
    bool decoderReady = false;
    bool undecodable = false;
    bool timedOut = false;
    bool pastDeadline = false;
    bool cancelled = false;
    bool connected = false;
    bool resent = false;
    // Times the transfer library was about to send this request (per attempt of ours).
    int sends = 0;
    bool secondSendStopped = false;
    bool sentOverHttp2 = false;  // the last send went out on an HTTP/2 connection
    bool closedBeforeSending = false;
    curl_socket_t socket = CURL_SOCKET_BAD;  // of the connection this task opened, if it did
    SessionImpl* owner = nullptr;  // the session running the transfer
    Clock::time_point lastActivity;
    curl_off_t lastUp = 0;
    curl_off_t lastDown = 0;
};

struct ScheduledEntry {
    Clock::time_point when;  // guarded by the session's mutex
    std::function<void()> call;
};

class SessionImpl {
public:
    explicit SessionImpl(const ConnectionLimits& limits = ConnectionLimits{});
    void submit(std::unique_ptr<TaskState> task);
    void cancel(std::shared_ptr<TaskControl> control);
    void schedule(const std::shared_ptr<ScheduledEntry>& entry);
    void bringForward(ScheduledEntry& entry);
    std::shared_ptr<const TrustSettings> trust() const;
    std::uint64_t maxBodyBytes() const noexcept;
    // These two require configMutex to be held.
    const TrustSettings& trustUnlocked() const noexcept { return *trust_; }
    void publish(std::shared_ptr<const TrustSettings> next) noexcept { trust_ = std::move(next); }
    // The merchant API answers in kilobytes; decoding takes up to 8 times the
    // body, so this keeps one answer's worst case near 128 MiB.
    std::atomic<std::uint64_t> maxBody{16ull * 1024 * 1024};
    mutable std::mutex configMutex;
    // Any thread; the delivery thread hands them to libcurl before it starts more tasks.
    void setLimits(const ConnectionLimits& limits);
    ConnectionLimits limits();
    // The connections' sockets, as libcurl opens and closes them (delivery thread only).
    void socketOpened(curl_socket_t socket) { sockets_.insert(socket); }
    void socketClosed(curl_socket_t socket) { sockets_.erase(socket); }

    // Every session of the process, in the order made: the shared one and one per
    // set of client connection limits. Never destroyed.
    static std::vector<SessionImpl*>& allLocked();
    static std::mutex& registryMutex();
    // pthread_atfork's three steps (registered with the first session).
    static void beforeFork() noexcept;
    static void afterForkInParent() noexcept;
    static void afterForkInChild() noexcept;

private:
    // In a child after fork(): the parent's transfers, threads, connections and
    // TLS sessions are left as they are (their sockets are the parent's too: a
    // clean-up would talk on them), a fresh session takes their place with the
    // same settings, and its thread starts with its first task.
    void rebuildInChild() noexcept;
    // Shuts the sockets of idle connections: libcurl then finds them dead and
    // opens new ones within the limits in force.
    void retireIdleConnections();
    void startThreadLocked();
    // The delivery thread looks for new work before it sleeps again: waking it
    // from itself would only cost a socket write and read.
    bool onDeliveryThreadLocked() const { return started_ && std::this_thread::get_id() == threadId_; }
    void run() noexcept;
    void start(std::unique_ptr<TaskState> task);
    // Sets the task's easy handle up; what was refused ("" when nothing), for the error.
    std::string configure(TaskState& task);
    void finish(TaskState* task, CURLcode code);
    bool resendOnFreshConnection(std::unique_ptr<TaskState>& task, CURLcode code);
    // Easy handles of transfers that ended well, reset to their defaults for the
    // next task: their buffers and set-up are made once rather than per task.
    EasyHandle takeEasyHandle();
    void keepEasyHandle(EasyHandle easy) noexcept;
    void expireIdle();
    void cancelRequested();
    void runScheduled();
    void applyLimits(const ConnectionLimits& limits);
    // Milliseconds the loop may sleep: at most quiet, and not past the next scheduled call.
    long sleepLocked(long quiet) const;
    static void deliver(TaskState& task, std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                        std::optional<Error> error) noexcept;

public:
    // Stops deliveries, then the decode threads, for good: after main returned,
    // and at exit. In this order, a decode that ends meanwhile has nobody to
    // hand its answer to, and the threads are not kept waiting on the session.
    static void stopAtExit() noexcept {
        stop(false);
        stopDecodeThreads();
    }
    // After main returned, while every library is still whole: also ends the
    // kept-alive connections, so servers see them closed rather than abandoned.
    static void stopAfterMain() noexcept {
        stop(true);
        stopDecodeThreads();
    }

private:
    static void stop(bool closeConnections) noexcept;
    void requestStopLocked() noexcept;
    void finishStop(std::unique_lock<std::mutex>& lock, bool closeConnections,
                    std::chrono::steady_clock::time_point until) noexcept;

    CURLM* multi_ = nullptr;
    CURLSH* share_ = nullptr;
    std::string caFile_;
    std::shared_ptr<const std::string> systemPEM_;  // caFile_'s text, read on first need
    // A client's CA list: the system's, the process's and its own anchors (delivery thread only).
    std::shared_ptr<const std::string> caBlobFor(const TransportSettings& own,
                                                 const std::shared_ptr<const TrustSettings>& trust);

    std::mutex mutex_;
    std::condition_variable stoppedCv_;
    std::vector<std::unique_ptr<TaskState>> pending_;
    std::vector<std::shared_ptr<TaskControl>> cancels_;
    std::vector<std::shared_ptr<ScheduledEntry>> scheduled_;
    ConnectionLimits limits_;
    bool limitsChanged_ = false;  // limits_ not yet handed to libcurl
    ConnectionLimits applied_;  // what libcurl has (delivery thread only)
    std::unordered_set<curl_socket_t> sockets_;  // delivery thread only
    // A fork in progress asks the delivery thread to wait between two steps.
    bool pauseRequested_ = false;
    bool parked_ = false;
    std::condition_variable pauseCv_;
    bool started_ = false;
    bool stopping_ = false;
    // Set once exit has begun; read without the lock between steps of the loop.
    static inline std::atomic<bool> exiting_{false};
    bool stopped_ = false;
    std::thread thread_;
    std::thread::id threadId_;

    std::shared_ptr<const TrustSettings> trust_ = std::make_shared<TrustSettings>();
    std::unordered_map<TaskState*, std::unique_ptr<TaskState>> active_;  // delivery thread only
    std::vector<EasyHandle> spareEasy_;  // delivery thread only; at most kMaxSpareEasyHandles
    Clock::time_point lastIdleCheck_;
};

/// The shared session's implementation, set when it is made.
extern SessionImpl* g_session;

/// In a child after fork(): the decode threads are the parent's; a fresh pool takes their place.
void rebuildDecodePoolInChild() noexcept;
/// Guards the sessions made for a set of connection limits (sessionFor).
std::mutex& byLimitsMutex();

}  // namespace orvalis::detail
