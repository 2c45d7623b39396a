// The shared URL session: its delivery thread (the loop that runs every
// transfer and every completion) and its public face.
#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/detail/Contained.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/Session.h>
#include <Orvalis/Foundation/Transport/detail/ContentDecoder.h>
#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/RequestTarget.h>
#include <Orvalis/Foundation/Transport/detail/TransferSupport.h>
#include <Orvalis/Foundation/Transport/detail/TransportSettings.h>
#include <Orvalis/Version.h>
#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvalis {
namespace detail {

SessionImpl* g_session = nullptr;

// Never destroyed; made afresh in a forked child.
std::mutex& byLimitsMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::mutex& SessionImpl::registryMutex() {
    static auto* mutex = new std::mutex;  // never destroyed: exit handlers still walk the sessions
    return *mutex;
}

std::vector<SessionImpl*>& SessionImpl::allLocked() {
    static auto* all = new std::vector<SessionImpl*>;
    return *all;
}

SessionImpl::SessionImpl(const ConnectionLimits& limits) : limits_(limits), applied_(limits) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        log("URLSession: libcurl failed to initialise");
    }
    // Make sure the log state outlives the exit handler registered later.
    (void)logEnabled();
    multi_ = curl_multi_init();
    share_ = curl_share_init();
    if (share_ != nullptr) {
        // One thread drives every transfer, so the share needs no lock callbacks.
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    }
    if (multi_ != nullptr) {
        curl_multi_setopt(multi_, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
        applyLimits(limits_);
    }
    // Naming the CA bundle and no CA directory lets libcurl parse the bundle once and
    // keep the store for every later connection instead of re-reading it each time.
    if (const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW); info && info->cainfo) {
        caFile_ = info->cainfo;
    }
}

// Anchors, pins and the answer size are the process's: every session reads the shared one's.
std::shared_ptr<const TrustSettings> SessionImpl::trust() const {
    if (g_session != nullptr && g_session != this) return g_session->trust();
    std::lock_guard lock(configMutex);
    return trust_;
}

std::uint64_t SessionImpl::maxBodyBytes() const noexcept {
    return (g_session != nullptr ? g_session : this)->maxBody.load(std::memory_order_relaxed);
}

void SessionImpl::submit(std::unique_ptr<TaskState> task) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;  // the process is exiting: nothing more is started
    if (multi_ == nullptr) {
        // libcurl is unusable; still report off the caller's thread, as always.
        std::thread([t = std::move(task)] {
            deliver(*t, std::nullopt, std::nullopt,
                    t->refusal ? *t->refusal
                               : Error::withDescription(URLErrorDomain, URLErrorUnknown,
                                                        "The URL session is unavailable."));
        }).detach();
        return;
    }
    // Tasks already waiting mean a wake is on its way (or the thread looks again
    // before it sleeps): one wake serves a burst of starts, and each wake costs the
    // thread a pass over every transfer in flight.
    const bool wakeUnderway = !pending_.empty();
    pending_.push_back(std::move(task));
    if (!started_) {
        try {
            startThreadLocked();
        } catch (...) {
            // No thread: the task is not started and the caller hears why.
            pending_.pop_back();
            throw;
        }
    } else if (!wakeUnderway && !onDeliveryThreadLocked() && curl_multi_wakeup(multi_) != CURLM_OK) {
        log("URLSession: could not wake the delivery thread; the task starts within a second");
    }
}

// Thousands of tasks in flight queue for a bounded set of connections instead
// of opening one socket each; HTTP/2 puts many of them on one connection.
void SessionImpl::applyLimits(const ConnectionLimits& limits) {
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, limits.maxConnectionsPerHost);
    curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, limits.maxConnections);
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, limits.maxConnections);
    curl_multi_setopt(multi_, CURLMOPT_MAX_CONCURRENT_STREAMS, limits.maxStreamsPerConnection);
    // libcurl checks its limits only when it opens a connection: idle ones kept
    // from before a lower limit would still be reused, more of them at once than it allows.
    if (limits.maxConnectionsPerHost < applied_.maxConnectionsPerHost ||
        limits.maxConnections < applied_.maxConnections ||
        limits.maxStreamsPerConnection < applied_.maxStreamsPerConnection) {
        retireIdleConnections();
    }
    applied_ = limits;
}

void SessionImpl::retireIdleConnections() {
    std::unordered_set<curl_socket_t> busy;
    for (const auto& [key, task] : active_) {
        curl_socket_t socket = CURL_SOCKET_BAD;
        if (curl_easy_getinfo(task->easy.get(), CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK) busy.insert(socket);
    }
    for (curl_socket_t socket : sockets_) {
        if (!busy.contains(socket)) ::shutdown(socket, SHUT_RDWR);
    }
}

void SessionImpl::setLimits(const ConnectionLimits& limits) {
    std::lock_guard lock(mutex_);
    limits_ = limits;
    limitsChanged_ = true;
    // Tasks already waiting for a connection may now go.
    if (started_ && !stopping_ && !onDeliveryThreadLocked()) curl_multi_wakeup(multi_);
}

ConnectionLimits SessionImpl::limits() {
    std::lock_guard lock(mutex_);
    return limits_;
}

void SessionImpl::schedule(const std::shared_ptr<ScheduledEntry>& entry) {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    if (multi_ == nullptr) {  // libcurl is unusable; the call still runs, later, elsewhere
        std::thread([entry] {
            std::this_thread::sleep_until(entry->when);
            if (entry->call) entry->call();
        }).detach();
        return;
    }
    scheduled_.push_back(entry);
    if (!started_) {
        try {
            startThreadLocked();
        } catch (...) {
            scheduled_.pop_back();
            throw;
        }
    } else if (!onDeliveryThreadLocked()) {
        curl_multi_wakeup(multi_);
    }
}

void SessionImpl::bringForward(ScheduledEntry& entry) {
    std::lock_guard lock(mutex_);
    entry.when = Clock::time_point::min();
    if (started_ && !stopping_ && !onDeliveryThreadLocked()) curl_multi_wakeup(multi_);
}

void SessionImpl::runScheduled() {
    std::vector<std::shared_ptr<ScheduledEntry>> due;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        auto firstLater = std::partition(scheduled_.begin(), scheduled_.end(),
                                         [now](const auto& entry) { return entry->when <= now; });
        due.assign(scheduled_.begin(), firstLater);
        scheduled_.erase(scheduled_.begin(), firstLater);
    }
    for (auto& entry : due) {
        if (std::function<void()> call = std::move(entry->call)) callContained("URLSession: a scheduled call", call);
    }
}

long SessionImpl::sleepLocked(long quiet) const {
    const auto now = Clock::now();
    long limit = quiet;
    for (const auto& entry : scheduled_) {
        if (entry->when <= now) return 0;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(entry->when - now).count();
        limit = static_cast<long>(std::min<long long>(limit, left));
    }
    return limit;
}

void SessionImpl::cancel(std::shared_ptr<TaskControl> control) {
    std::lock_guard lock(mutex_);
    if (stopping_ || !started_) return;  // not started: the flag stops the task when it starts
    cancels_.push_back(std::move(control));
    if (!onDeliveryThreadLocked()) curl_multi_wakeup(multi_);
}

// Cancelled tasks leave libcurl at once; only their own connection can be
// affected (one cut mid-answer is closed), never another transfer's.
void SessionImpl::cancelRequested() {
    std::vector<std::shared_ptr<TaskControl>> cancels;
    {
        std::lock_guard lock(mutex_);
        cancels.swap(cancels_);
    }
    for (const auto& control : cancels) {
        if (TaskState* task = control->live) {
            task->cancelled = true;
            finish(task, CURLE_ABORTED_BY_CALLBACK);
        }
    }
}

void SessionImpl::startThreadLocked() {
    thread_ = std::thread([this] { run(); });
    started_ = true;
    threadId_ = thread_.get_id();
    static const bool registered = [] {
        if (std::atexit(&SessionImpl::stopAtExit) != 0) log("URLSession: could not register the exit handler");
        return true;
    }();
    (void)registered;
}

void SessionImpl::requestStopLocked() noexcept {
    stopping_ = true;
    if (started_ && !stopped_ && multi_ != nullptr) curl_multi_wakeup(multi_);
}

void SessionImpl::finishStop(std::unique_lock<std::mutex>& lock, bool closeConnections, Clock::time_point until) noexcept {
    // Runs twice (main thread's exit watch, then the exit handler): the second finds it done.
    if (!started_ || !thread_.joinable() || std::this_thread::get_id() == threadId_) return;
    // Bounded: a host callback that never returns must not hang the exit.
    if (stoppedCv_.wait_until(lock, until, [this] { return stopped_; })) {
        lock.unlock();
        // The thread has left its loop; joining also waits for its thread-local
        // clean-up (OpenSSL's per-thread state) before the libraries shut down.
        thread_.join();
        if (closeConnections) {
            for (auto& [key, task] : active_) curl_multi_remove_handle(multi_, task->easy.get());
            curl_multi_cleanup(multi_);
            multi_ = nullptr;
        }
    } else {
        thread_.detach();
    }
}

void SessionImpl::stop(bool closeConnections) noexcept {
    exiting_.store(true);
    std::lock_guard registry(registryMutex());
    for (SessionImpl* session : allLocked()) {
        std::lock_guard lock(session->mutex_);
        session->requestStopLocked();
    }
    // One wait for every session's thread, not one after another.
    const auto until = Clock::now() + std::chrono::seconds(2);
    for (SessionImpl* session : allLocked()) {
        std::unique_lock lock(session->mutex_);
        session->finishStop(lock, closeConnections, until);
    }
}

namespace {

// Thread-local destructors of the thread that calls exit() (as returning from
// main does) run before every exit handler and static destructor: the first
// moment after main returned, before any of the host's own exit work. Set up
// when the library is loaded, for the main thread only: another thread's end
// is not the process's.
struct MainThreadExitWatch {
    ~MainThreadExitWatch() { SessionImpl::stopAfterMain(); }
};

[[gnu::constructor]] void watchMainThreadExit() {
    if (gettid() != getpid()) return;
    static thread_local MainThreadExitWatch watch;
    (void)&watch;
}

}  // namespace

void SessionImpl::run() noexcept {
    lastIdleCheck_ = Clock::now();
    for (;;) {
        std::vector<std::unique_ptr<TaskState>> incoming;
        std::optional<ConnectionLimits> limits;
        {
            std::unique_lock lock(mutex_);
            if (pauseRequested_) {  // a fork: wait here, between two steps, until it is done
                parked_ = true;
                pauseCv_.notify_all();
                pauseCv_.wait(lock, [this] { return !pauseRequested_; });
                parked_ = false;
            }
            if (stopping_) break;
            incoming.swap(pending_);
            if (std::exchange(limitsChanged_, false)) limits = limits_;
        }
        if (limits) applyLimits(*limits);
        // Nothing may escape this loop: the thread serves every task of the process.
        for (auto& task : incoming) {
            try {
                start(std::move(task));
            } catch (const std::exception& e) {
                log(std::string("URLSession: a task could not be started: ") + e.what());
            }
        }

        try {
            cancelRequested();
            runScheduled();
        } catch (const std::exception& e) {
            log(std::string("URLSession: ") + e.what());
        }

        int running = 0;
        if (CURLMcode rc = curl_multi_perform(multi_, &running); rc != CURLM_OK) {
            log(std::string("URLSession: ") + curl_multi_strerror(rc));
        }
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
            // After the exit handler gave up waiting, static objects, OpenSSL and the
            // host's state may already be torn down: no further completion or library call.
            if (exiting_.load()) break;
            if (msg->msg != CURLMSG_DONE) continue;
            void* task = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &task);
            try {
                finish(static_cast<TaskState*>(task), msg->data.result);
            } catch (const std::exception& e) {
                log(std::string("URLSession: a task could not be completed: ") + e.what());
            }
        }
        if (exiting_.load()) break;
        try {
            expireIdle();
        } catch (const std::exception& e) {
            log(std::string("URLSession: ") + e.what());
        }
        long sleep = 0;
        // A transfer handed a whole buffer may have more waiting inside libcurl: look again at once.
        const bool more = std::exchange(tlWholeBufferTaken, false);
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            if (!pending_.empty() || !cancels_.empty()) continue;
            // Short enough for the idle checks, long enough to cost nothing when quiet; libcurl's
            // own timers shorten it (curl_multi_poll waits no longer than curl_multi_timeout).
            sleep = more ? 0 : sleepLocked(active_.empty() ? 1000 : 200);
        }
        if (CURLMcode rc = curl_multi_poll(multi_, nullptr, 0, static_cast<int>(sleep), nullptr); rc != CURLM_OK) {
            log(std::string("URLSession: ") + curl_multi_strerror(rc));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // never spin on a failing poll
        }
    }
    // Exit path: transfers in flight are abandoned without calling their
    // completions, since the host's objects may already be gone.
    std::lock_guard lock(mutex_);
    stopped_ = true;
    stoppedCv_.notify_all();
}

void SessionImpl::expireIdle() {
    const auto now = Clock::now();
    if (now - lastIdleCheck_ < std::chrono::milliseconds(100)) return;
    lastIdleCheck_ = now;
    std::vector<TaskState*> expired;
    for (auto& [key, task] : active_) {
        if (task->deadline && now >= *task->deadline) {
            task->pastDeadline = true;
            expired.push_back(key);
            continue;
        }
        if (!task->connected) {
            // Waiting for a free connection is not idling, and connecting has its own
            // limit (CURLOPT_CONNECTTIMEOUT_MS): the idle clock starts once connected.
            curl_off_t pretransfer = 0;
            curl_easy_getinfo(task->easy.get(), CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
            if (pretransfer == 0) {
                task->lastActivity = now;
                continue;
            }
            task->connected = true;
        }
        const auto limit = std::chrono::duration<double>(task->timeout);
        if (now - task->lastActivity >= limit) expired.push_back(key);
    }
    for (TaskState* task : expired) {
        task->timedOut = true;
        finish(task, CURLE_OPERATION_TIMEDOUT);
    }
}

void SessionImpl::deliver(TaskState& task, std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                          std::optional<Error> error) noexcept {
    DataTaskCompletion completion = std::move(task.completion);
    if (!completion) return;
    try {
        completion(std::move(data), std::move(response), std::move(error));
    } catch (const std::exception& e) {
        // The log's state may be gone once exit has begun.
        if (!exiting_.load()) log(std::string("URLSession: a completion handler threw: ") + e.what());
    } catch (...) {
        if (!exiting_.load()) log("URLSession: a completion handler threw a non-standard exception");
    }
}

}  // namespace detail

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(std::string_view field) const {
    for (const auto& [name, value] : headers) {
        if (detail::equalsIgnoringCase(name, field)) return value;
    }
    return std::nullopt;
}

URLSessionDataTask::URLSessionDataTask(detail::SessionImpl* session, std::unique_ptr<detail::TaskState> state) noexcept
    : session_(session), state_(std::move(state)), control_(state_->control) {}
URLSessionDataTask::URLSessionDataTask(URLSessionDataTask&& other) noexcept
    : session_(std::exchange(other.session_, nullptr)),
      state_(std::move(other.state_)),
      control_(std::move(other.control_)) {}
URLSessionDataTask& URLSessionDataTask::operator=(URLSessionDataTask&& other) noexcept {
    session_ = std::exchange(other.session_, nullptr);
    state_ = std::move(other.state_);
    control_ = std::move(other.control_);
    return *this;
}
URLSessionDataTask::~URLSessionDataTask() = default;

void URLSessionDataTask::resume() {
    if (session_ == nullptr || !state_) return;
    session_->submit(std::move(state_));
}

void URLSessionDataTask::cancel() {
    if (!control_ || control_->cancelled.exchange(true)) return;
    // Not yet resumed: start() sees the flag. Resumed: the delivery thread removes it.
    if (!state_ && session_ != nullptr) session_->cancel(control_);
}

void URLSessionDataTask::setDeadline(std::chrono::steady_clock::time_point deadline) noexcept {
    if (state_) state_->deadline = deadline;
}

bool URLSessionDataTask::requestMayHaveBeenSent() const noexcept {
    return control_ && control_->mayHaveBeenSent.load();
}

URLSessionTaskMetrics URLSessionDataTask::metrics() const noexcept {
    return control_ ? control_->metrics : URLSessionTaskMetrics{};
}

bool URLSessionConfiguration::addTrustedCertificates(const std::string& pemPath) {
    std::vector<std::shared_ptr<X509>> found = detail::readCertificates(pemPath);
    std::string pem = detail::certificatesAsPEM(found);
    if (pem.empty()) return false;
    std::lock_guard lock(session_->configMutex);
    auto next = std::make_shared<detail::TrustSettings>(session_->trustUnlocked());
    next->certificates.insert(next->certificates.end(), found.begin(), found.end());
    next->pem += pem;
    ++next->generation;
    session_->publish(std::move(next));
    return true;
}

bool URLSessionConfiguration::pinPublicKeys(const std::string& host, const std::string& pins) {
    if (!detail::wellFormedPins(pins)) return false;
    std::lock_guard lock(session_->configMutex);
    auto next = std::make_shared<detail::TrustSettings>(session_->trustUnlocked());
    if (pins.empty()) {
        next->pins.erase(detail::lowered(host));
    } else {
        next->pins[detail::lowered(host)] = pins;
    }
    session_->publish(std::move(next));
    return true;
}

void URLSessionConfiguration::setMaximumResponseSize(std::uint64_t bytes) noexcept {
    session_->maxBody.store(bytes, std::memory_order_relaxed);
}

std::uint64_t URLSessionConfiguration::maximumResponseSize() const noexcept {
    return session_->maxBody.load(std::memory_order_relaxed);
}

bool URLSessionConfiguration::setConnectionLimits(const ConnectionLimits& limits) {
    if (!limits.valid()) return false;
    session_->setLimits(limits);
    return true;
}

ConnectionLimits URLSessionConfiguration::connectionLimits() const { return session_->limits(); }

URLSession::URLSession() : URLSession(new detail::SessionImpl()) { detail::g_session = impl_; }

URLSession::URLSession(detail::SessionImpl* impl) : impl_(impl), configuration_(impl_) {
    std::lock_guard registry(detail::SessionImpl::registryMutex());
    static const bool forkWatched = [] {
        if (pthread_atfork(&detail::SessionImpl::beforeFork, &detail::SessionImpl::afterForkInParent,
                           &detail::SessionImpl::afterForkInChild) != 0) {
            log("URLSession: could not register the fork handlers; a child process cannot use the library");
        }
        return true;
    }();
    (void)forkWatched;
    detail::SessionImpl::allLocked().push_back(impl_);
}

URLSession& detail::sessionFor(const std::optional<ConnectionLimits>& limits) {
    if (!limits) return URLSession::sharedSession();
    URLSession::sharedSession();  // made first: the exit path and scheduled calls need it
    using Key = std::tuple<long, long, long>;
    static auto* byLimits = new std::map<Key, URLSession*>;  // guarded by byLimitsMutex()
    const Key key{limits->maxConnectionsPerHost, limits->maxConnections, limits->maxStreamsPerConnection};
    std::lock_guard lock(detail::byLimitsMutex());
    URLSession*& session = (*byLimits)[key];
    if (session == nullptr) session = new URLSession(new SessionImpl(*limits));
    return *session;
}

URLSession::~URLSession() = default;  // never runs: the shared session lives until the process ends

URLSession& URLSession::sharedSession() {
    // Deliberately never destroyed: the delivery thread may still be running while
    // static objects are torn down at exit.
    static URLSession* session = new URLSession();
    return *session;
}

URLSessionConfiguration& URLSession::configuration() noexcept { return configuration_; }

URLSessionDataTask URLSession::dataTaskWithRequest(const URLRequest& request, DataTaskCompletion completion) {
    auto state = std::make_unique<detail::TaskState>();
    state->url = request.URL();
    state->method = request.HTTPMethod();
    state->requestBody = request.HTTPBody();
    state->requestHeaders = request.allHTTPHeaderFields();
    const double timeout = request.timeoutInterval();
    state->timeout = (std::isfinite(timeout) && timeout > 0) ? std::min(timeout, 1e7) : 60.0;
    state->completion = std::move(completion);
    state->control = std::make_shared<detail::TaskControl>();
    return URLSessionDataTask(impl_, std::move(state));
}

}  // namespace orvalis
