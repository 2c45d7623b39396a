#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/ContentDecoder.h>
#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Transport/detail/DeliveryTimer.h>
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
#include <mutex>
#include <thread>
#include <unordered_map>

#include <poll.h>
#include <unistd.h>

namespace orvalis {
namespace detail {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMaxHostConnections = 32;
// Servers close idle connections after a few seconds (2 s is common). A request
// written just as one closes may have reached it and is never sent again, so a
// connection idle this long is not reused: the race stays on the server's side.
constexpr long kMaxIdleSecondsForReuse = 2;
constexpr long kMaxTotalConnections = 128;

using EasyHandle = std::unique_ptr<CURL, Deleter<curl_easy_cleanup>>;
using HeaderList = std::unique_ptr<curl_slist, Deleter<curl_slist_free_all>>;

}  // namespace

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
    bool closedBeforeSending = false;
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
    SessionImpl();
    void submit(std::unique_ptr<TaskState> task);
    void cancel(std::shared_ptr<TaskControl> control);
    void schedule(const std::shared_ptr<ScheduledEntry>& entry);
    void bringForward(ScheduledEntry& entry);
    std::shared_ptr<const TrustSettings> trust() const;
    // These two require configMutex to be held.
    const TrustSettings& trustUnlocked() const noexcept { return *trust_; }
    void publish(std::shared_ptr<const TrustSettings> next) noexcept { trust_ = std::move(next); }
    // The merchant API answers in kilobytes; decoding takes up to 8 times the
    // body, so this keeps one answer's worst case near 128 MiB.
    std::atomic<std::uint64_t> maxBody{16ull * 1024 * 1024};
    mutable std::mutex configMutex;

private:
    void startThreadLocked();
    void run() noexcept;
    void start(std::unique_ptr<TaskState> task);
    bool configure(TaskState& task);
    void finish(TaskState* task, CURLcode code);
    bool resendOnFreshConnection(std::unique_ptr<TaskState>& task, CURLcode code);
    void expireIdle();
    void cancelRequested();
    void runScheduled();
    // Milliseconds the loop may sleep: at most quiet, and not past the next scheduled call.
    long sleepLocked(long quiet) const;
    static void deliver(TaskState& task, std::optional<std::string> data, std::optional<HTTPURLResponse> response,
                        std::optional<Error> error) noexcept;

public:
    // Stops deliveries for good: after main returned, and at exit.
    static void stopAtExit() noexcept { stop(false); }
    // After main returned, while every library is still whole: also ends the
    // kept-alive connections, so servers see them closed rather than abandoned.
    static void stopAfterMain() noexcept { stop(true); }

private:
    static void stop(bool closeConnections) noexcept;

    CURLM* multi_ = nullptr;
    CURLSH* share_ = nullptr;
    std::string caFile_;
    std::shared_ptr<const std::string> systemPEM_;  // caFile_'s text, read on first need
    std::shared_ptr<const std::string> caBlobFor(const TransportSettings* own, const std::shared_ptr<const TrustSettings>& trust);
    // The CA list of tasks with the process's anchors only, and the anchors it was made of.
    std::shared_ptr<const std::string> processBlob_;
    std::shared_ptr<const void> processBlobFor_;

    std::mutex mutex_;
    std::condition_variable stoppedCv_;
    std::vector<std::unique_ptr<TaskState>> pending_;
    std::vector<std::shared_ptr<TaskControl>> cancels_;
    std::vector<std::shared_ptr<ScheduledEntry>> scheduled_;
    bool started_ = false;
    bool stopping_ = false;
    // Set once exit has begun; read without the lock between steps of the loop.
    static inline std::atomic<bool> exiting_{false};
    bool stopped_ = false;
    std::thread thread_;
    std::thread::id threadId_;

    std::shared_ptr<const TrustSettings> trust_ = std::make_shared<TrustSettings>();
    std::unordered_map<TaskState*, std::unique_ptr<TaskState>> active_;  // delivery thread only
    Clock::time_point lastIdleCheck_;
};

namespace {

SessionImpl* g_session = nullptr;

// Adds decoded answer bytes to the body; false stops the transfer.
bool appendBody(TaskState* task, const char* data, size_t n) noexcept {
    if (task->body.size() + n > task->maxBody) {
        task->bodyTooLarge = true;
        return false;
    }
    try {
        if (task->body.empty() && task->body.capacity() < n) {
            // Size the buffer once from the announced length, so a large answer is
            // held in one allocation of its own size rather than grown by doubling.
            curl_off_t declared = -1;
            if (curl_easy_getinfo(task->easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &declared) == CURLE_OK &&
                declared > 0 && static_cast<std::uint64_t>(declared) <= task->maxBody) {
                task->body.reserve(static_cast<size_t>(declared));
            }
        }
        task->body.append(data, n);
    } catch (...) {
        task->outOfMemory = true;
        return false;
    }
    return true;
}

size_t onBody(char* data, size_t size, size_t count, void* user) noexcept {
    auto* task = static_cast<TaskState*>(user);
    const size_t n = size * count;
    task->lastActivity = Clock::now();
    try {
        if (!task->decoderReady) {
            std::vector<std::string_view> encodings;
            for (const auto& [name, value] : task->response.headers) {
                if (equalsIgnoringCase(name, "Content-Encoding")) encodings.emplace_back(value);
            }
            task->decoderReady = true;
            if (!task->decoder.configure(encodings)) {
                task->undecodable = true;
                return 0;
            }
        }
        if (!task->decoder.active()) return appendBody(task, data, n) ? n : 0;
        const bool decoded = task->decoder.feed(std::string_view(data, n), [task](std::string_view piece) {
            return appendBody(task, piece.data(), piece.size());
        });
        if (decoded) return n;
        if (!task->bodyTooLarge && !task->outOfMemory) task->undecodable = true;
    } catch (...) {
        task->outOfMemory = true;
    }
    return 0;  // a short write makes libcurl stop the transfer
}

size_t onHeader(char* data, size_t size, size_t count, void* user) noexcept {
    auto* task = static_cast<TaskState*>(user);
    const size_t n = size * count;
    task->lastActivity = Clock::now();
    try {
        std::string_view line(data, n);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (line.substr(0, 5) == "HTTP/") {
            // A new status line: only the final answer's fields are kept.
            task->response.headers.clear();
            task->sawHeaders = true;
        } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
            task->response.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
        }
    } catch (...) {
        task->outOfMemory = true;
        return 0;
    }
    return n;
}

int onProgress(void* user, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) noexcept {
    auto* task = static_cast<TaskState*>(user);
    if (dlnow != task->lastDown || ulnow != task->lastUp) {
        task->lastDown = dlnow;
        task->lastUp = ulnow;
        task->lastActivity = Clock::now();
    }
    return 0;
}

// Whether a kept-alive connection already has something to read before the
// request is written: the server's close (or its TLS alert) on a connection it
// let go while idle. Nothing of the request has left yet, so it can go on a
// fresh connection instead.
bool closedWhileIdle(CURL* easy) noexcept {
    long fresh = -1;
    curl_socket_t socket = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &fresh) != CURLE_OK || fresh != 0) return false;
    if (curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &socket) != CURLE_OK || socket == CURL_SOCKET_BAD) return false;
    pollfd ready{socket, POLLIN, 0};
    return ::poll(&ready, 1, 0) > 0;
}

// Called by the transfer library each time it is about to send the request. A
// second call is its own retry after a reused connection died: allowed only when
// none of the request's bytes were written; otherwise the server may have it, and
// it is never sent again behind the host's back.
int onPreRequest(void* user, char*, char*, int, int) noexcept {
    auto* task = static_cast<TaskState*>(user);
    if (task->sends++ == 0) {
        if (!task->resent && closedWhileIdle(task->easy.get())) {
            task->closedBeforeSending = true;
            return CURL_PREREQFUNC_ABORT;
        }
        return CURL_PREREQFUNC_OK;
    }
    long written = -1;
    if (curl_easy_getinfo(task->easy.get(), CURLINFO_REQUEST_SIZE, &written) == CURLE_OK && written == 0 &&
        task->lastUp == 0) {
        return CURL_PREREQFUNC_OK;
    }
    task->secondSendStopped = true;
    return CURL_PREREQFUNC_ABORT;
}

// "the proxy P: " when a failure happened on the way through the client's proxy
// (or an environment one that answered or could not be found), else "".
std::string proxyFailure(TaskState& task, CURLcode code) {
    long connectCode = 0;
    curl_easy_getinfo(task.easy.get(), CURLINFO_HTTP_CONNECTCODE, &connectCode);
    bool throughProxy = code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_PROXY ||
                        (connectCode != 0 && connectCode / 100 != 2);
    if (!task.proxy.empty() && !task.sawHeaders) {
        // https goes through a tunnel: until the proxy accepted it, the fault is on the proxy's side.
        throughProxy = throughProxy || code == CURLE_COULDNT_CONNECT ||
                       (schemeIsHTTPS(task.url) && connectCode == 0 && !task.connected);
    }
    if (!throughProxy) return {};
    std::string shown = task.proxy;
    if (shown.empty()) {  // one of libcurl's environment variables, in the order it reads them
        const bool https = schemeIsHTTPS(task.url);
        for (const char* name : {https ? "https_proxy" : "http_proxy", https ? "HTTPS_PROXY" : "", "all_proxy",
                                 "ALL_PROXY"}) {
            const char* value = *name != '\0' ? std::getenv(name) : nullptr;
            if (value != nullptr && *value != '\0') {
                shown = proxyForDisplay(value) + " (" + name + ")";
                break;
            }
        }
    }
    std::string text = "the proxy " + shown;
    if (connectCode != 0) text += " answered " + std::to_string(connectCode);
    return text + ": ";
}

std::string certificatesAsPEM(const std::vector<std::shared_ptr<X509>>& certificates) {
    BioPtr out(BIO_new(BIO_s_mem()));
    for (const auto& cert : certificates) {
        if (!out || PEM_write_bio_X509(out.get(), cert.get()) != 1) return {};
    }
    char* data = nullptr;
    const long size = out ? BIO_get_mem_data(out.get(), &data) : 0;
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

std::vector<std::shared_ptr<X509>> readCertificates(const std::string& path) {
    std::vector<std::shared_ptr<X509>> found;
    std::optional<std::string> pem = readWholeFile(path);
    if (!pem || pem->size() > static_cast<size_t>(std::numeric_limits<int>::max())) return found;
    BioPtr bio(BIO_new_mem_buf(pem->data(), static_cast<int>(pem->size())));
    if (!bio) return found;
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        found.emplace_back(cert, Deleter<X509_free>());
    }
    ERR_clear_error();  // the loop ends on "no start line", which is not a failure
    return found;
}

// Runs for each new TLS connection of a transfer with the process's anchors: they join
// the verification store that libcurl then keeps for the bundle's path.
CURLcode onSSLContext(CURL*, void* sslctx, void* user) noexcept {
    auto* task = static_cast<TaskState*>(user);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslctx));
    if (store == nullptr) return CURLE_SSL_CERTPROBLEM;
    for (const auto& cert : task->trust->certificates) {
        if (X509_STORE_add_cert(store, cert.get()) != 1) return CURLE_SSL_CERTPROBLEM;
    }
    return CURLE_OK;
}

}  // namespace

const std::string& defaultUserAgent() {
    static const std::string agent = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        return std::string("Orvalis/" ORVALIS_VERSION_STRING " libcurl/") +
               (info && info->version ? info->version : "unknown");
    }();
    return agent;
}

std::optional<std::string> readCertificatesPEM(const std::string& path) {
    std::string pem = certificatesAsPEM(readCertificates(path));
    if (pem.empty()) return std::nullopt;
    return pem;
}

bool wellFormedPins(std::string_view pins) noexcept {
    std::string_view rest(pins);
    while (!rest.empty()) {
        size_t end = rest.find(';');
        std::string_view pin = rest.substr(0, end);
        constexpr std::string_view prefix = "sha256//";
        // A SHA-256 digest in Base64 is 44 characters with its padding.
        if (pin.substr(0, prefix.size()) != prefix || pin.size() != prefix.size() + 44) return false;
        unsigned char digest[48];
        if (EVP_DecodeBlock(digest, reinterpret_cast<const unsigned char*>(pin.data() + prefix.size()), 44) != 33) {
            return false;
        }
        if (end == std::string_view::npos) break;
        rest = rest.substr(end + 1);
        if (rest.empty()) return false;  // a trailing ";"
    }
    return true;
}

std::string proxyForDisplay(std::string_view proxy) {
    const size_t scheme = proxy.find("://");
    const size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const size_t at = proxy.find('@', start);
    const size_t slash = proxy.find('/', start);
    if (at == std::string_view::npos || (slash != std::string_view::npos && slash < at)) return std::string(proxy);
    return std::string(proxy.substr(0, start)) + std::string(proxy.substr(at + 1));
}

void useTransportSettings(URLSessionDataTask& task, std::shared_ptr<const TransportSettings> settings) noexcept {
    if (task.state_) task.state_->settings = std::move(settings);
}

std::shared_ptr<const std::string> SessionImpl::caBlobFor(const TransportSettings* own,
                                                          const std::shared_ptr<const TrustSettings>& trust) {
    const bool ownAnchors = own != nullptr && !own->trustedPEM.empty();
    std::shared_ptr<const std::string>& cached = ownAnchors ? own->caBlob : processBlob_;
    std::shared_ptr<const void>& cachedFor = ownAnchors ? own->caBlobFor : processBlobFor_;
    if (cached && cachedFor == trust) return cached;
    if (!systemPEM_) {
        // The system's anchors still count: a CA list of its own replaces libcurl's bundle.
        systemPEM_ = std::make_shared<const std::string>(
            caFile_.empty() ? std::string() : readWholeFile(caFile_).value_or(std::string()));
    }
    auto blob = std::make_shared<std::string>();
    for (const std::string* part : {systemPEM_.get(), &trust->pem, ownAnchors ? &own->trustedPEM : nullptr}) {
        if (part == nullptr) continue;
        *blob += *part;
        if (!blob->empty() && blob->back() != '\n') *blob += '\n';
    }
    cached = std::move(blob);
    cachedFor = trust;
    return cached;
}

SessionImpl::SessionImpl() {
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
        // Thousands of tasks in flight queue for a bounded set of connections
        // instead of opening one socket each.
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaxHostConnections);
        curl_multi_setopt(multi_, CURLMOPT_MAX_TOTAL_CONNECTIONS, kMaxTotalConnections);
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, kMaxTotalConnections);
    }
    // Naming the CA bundle and no CA directory lets libcurl parse the bundle once and
    // keep the store for every later connection instead of re-reading it each time.
    if (const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW); info && info->cainfo) {
        caFile_ = info->cainfo;
    }
}

std::shared_ptr<const TrustSettings> SessionImpl::trust() const {
    std::lock_guard lock(configMutex);
    return trust_;
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
    pending_.push_back(std::move(task));
    if (!started_) {
        try {
            startThreadLocked();
        } catch (...) {
            // No thread: the task is not started and the caller hears why.
            pending_.pop_back();
            throw;
        }
    } else if (curl_multi_wakeup(multi_) != CURLM_OK) {
        log("URLSession: could not wake the delivery thread; the task starts within a second");
    }
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
    } else {
        curl_multi_wakeup(multi_);
    }
}

void SessionImpl::bringForward(ScheduledEntry& entry) {
    std::lock_guard lock(mutex_);
    entry.when = Clock::time_point::min();
    if (started_ && !stopping_) curl_multi_wakeup(multi_);
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
        std::function<void()> call = std::move(entry->call);
        try {
            if (call) call();
        } catch (const std::exception& e) {
            log(std::string("URLSession: a scheduled call threw: ") + e.what());
        } catch (...) {
            log("URLSession: a scheduled call threw a non-standard exception");
        }
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
    curl_multi_wakeup(multi_);
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
    if (std::atexit(&SessionImpl::stopAtExit) != 0) {
        log("URLSession: could not register the exit handler");
    }
}

void SessionImpl::stop(bool closeConnections) noexcept {
    SessionImpl* self = g_session;
    if (self == nullptr) return;
    std::unique_lock lock(self->mutex_);
    self->stopping_ = true;
    exiting_.store(true);
    // Runs twice (main thread's exit watch, then the exit handler): the second finds it done.
    if (!self->started_ || !self->thread_.joinable() || std::this_thread::get_id() == self->threadId_) return;
    curl_multi_wakeup(self->multi_);
    // Bounded: a host callback that never returns must not hang the exit.
    if (self->stoppedCv_.wait_for(lock, std::chrono::seconds(2), [self] { return self->stopped_; })) {
        lock.unlock();
        // The thread has left its loop; joining also waits for its thread-local
        // clean-up (OpenSSL's per-thread state) before the libraries shut down.
        self->thread_.join();
        if (closeConnections) {
            for (auto& [key, task] : self->active_) curl_multi_remove_handle(self->multi_, task->easy.get());
            curl_multi_cleanup(self->multi_);
            self->multi_ = nullptr;
        }
    } else {
        self->thread_.detach();
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
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            incoming.swap(pending_);
        }
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
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            if (!pending_.empty() || !cancels_.empty()) continue;
            // Short enough for the idle checks, long enough to cost nothing when quiet.
            sleep = sleepLocked(active_.empty() ? 1000 : 200);
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

bool SessionImpl::configure(TaskState& t) {
    CURL* h = t.easy.get();
    bool ok = true;
    auto set = [&](CURLoption option, auto value) {
        if (curl_easy_setopt(h, option, value) != CURLE_OK) ok = false;
    };
    set(CURLOPT_PRIVATE, static_cast<void*>(&t));
    set(CURLOPT_ERRORBUFFER, t.errorBuffer);
    set(CURLOPT_URL, t.url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_SHARE, share_);
    set(CURLOPT_MAXAGE_CONN, kMaxIdleSecondsForReuse);
    set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
    // Waiting for a connection that might multiplex only pays where HTTP/2 can be
    // negotiated (https). Over http:// every exchange is HTTP/1.1, and waiting would
    // queue tasks one by one behind a server that closes without answering.
    if (schemeIsHTTPS(t.url)) set(CURLOPT_PIPEWAIT, 1L);
    // gzip and deflate only: brotli at a server's default quality costs it far more than it saves here.
    // The header is still sent, but the answer is decoded by ContentDecoder.
    set(CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    // The path goes out as signed: libcurl would otherwise remove "." and ".." segments.
    set(CURLOPT_PATH_AS_IS, 1L);
    // TLS 1.2 is the floor whatever the system's OpenSSL configuration allows.
    set(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile_.empty()) {
        set(CURLOPT_CAINFO, caFile_.c_str());
        set(CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    }
    const TransportSettings* own = t.settings.get();
    if (own != nullptr && !own->trustedPEM.empty()) {
        // A client's own anchors go in as a CA list of its own (the system's, the process's
        // and its own): libcurl neither caches that store for other transfers nor reuses a
        // connection or TLS session verified against another list.
        t.caBlob = caBlobFor(own, t.trust);
        curl_blob blob{const_cast<char*>(t.caBlob->data()), t.caBlob->size(), CURL_BLOB_NOCOPY};
        set(CURLOPT_CAINFO_BLOB, &blob);
    } else if (!t.trust->certificates.empty()) {
        set(CURLOPT_SSL_CTX_FUNCTION, &onSSLContext);
        set(CURLOPT_SSL_CTX_DATA, static_cast<void*>(&t));
        if (!caFile_.empty() && t.trust->generation > 0) {
            // libcurl caches the CA store by the bundle's path, and that store is made
            // once, with the anchors of its first connection. Anchors added since need a
            // store of their own: the same bundle under a path of this generation's
            // ("dir/././name"), whose first connection makes it with every anchor.
            const size_t slash = caFile_.rfind('/');
            if (slash != std::string::npos) {
                t.caFile = caFile_.substr(0, slash);
                for (int i = 0; i < t.trust->generation; ++i) t.caFile += "/.";
                t.caFile += caFile_.substr(slash);
                set(CURLOPT_CAINFO, t.caFile.c_str());
            }
        }
    }
    if (!t.trust->pins.empty() || (own != nullptr && !own->pins.empty())) {
        const std::string host = hostOfURL(t.url);
        auto pick = [&](const std::map<std::string, std::string>& pins) {
            if (auto it = pins.find(host); t.pin.empty() && it != pins.end()) t.pin = it->second;
        };
        if (own != nullptr) pick(own->pins);  // a client's pin wins over the process's
        pick(t.trust->pins);
        if (!t.pin.empty()) set(CURLOPT_PINNEDPUBLICKEY, t.pin.c_str());
    }
    if (own != nullptr && own->proxy) {
        set(CURLOPT_PROXY, own->proxy->c_str());
        t.proxy = proxyForDisplay(*own->proxy);
    }

    set(CURLOPT_WRITEFUNCTION, &onBody);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&t));
    set(CURLOPT_HEADERFUNCTION, &onHeader);
    set(CURLOPT_HEADERDATA, static_cast<void*>(&t));
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &onProgress);
    set(CURLOPT_XFERINFODATA, static_cast<void*>(&t));
    set(CURLOPT_PREREQFUNCTION, &onPreRequest);
    set(CURLOPT_PREREQDATA, static_cast<void*>(&t));
    set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.maxBody));
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(t.timeout * 1000.0)));

    if (!isToken(t.method)) return false;
    if (t.requestBody) {
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.requestBody->size()));
        set(CURLOPT_POSTFIELDS, t.requestBody->data());
        if (t.method != "POST") set(CURLOPT_CUSTOMREQUEST, t.method.c_str());
    } else if (t.method == "GET") {
        set(CURLOPT_HTTPGET, 1L);
    } else if (t.method == "HEAD") {
        set(CURLOPT_NOBODY, 1L);
    } else if (t.method == "POST") {
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        set(CURLOPT_POSTFIELDS, "");
    } else {
        set(CURLOPT_CUSTOMREQUEST, t.method.c_str());
    }

    // The request goes out as built: libcurl's own defaults for a body's type,
    // "Accept: */*" and "Expect: 100-continue" are suppressed unless the request sets them.
    bool hasContentType = false;
    bool hasExpect = false;
    bool hasAccept = false;
    bool hasUserAgent = false;
    curl_slist* list = nullptr;
    auto append = [&](const std::string& line) {
        curl_slist* next = curl_slist_append(list, line.c_str());
        if (next == nullptr) {
            ok = false;
            return;
        }
        list = next;
        if (!t.headerList) t.headerList.reset(list);  // the head never changes after the first line
    };
    for (const auto& [name, value] : t.requestHeaders) {
        if (!isToken(name) || !isSafeHeaderValue(value)) return false;
        hasContentType = hasContentType || equalsIgnoringCase(name, "Content-Type");
        hasExpect = hasExpect || equalsIgnoringCase(name, "Expect");
        hasAccept = hasAccept || equalsIgnoringCase(name, "Accept");
        hasUserAgent = hasUserAgent || equalsIgnoringCase(name, "User-Agent");
        // "Name;" is libcurl's way of sending a header with an empty value.
        append(value.empty() ? name + ";" : name + ": " + value);
    }
    if (!hasUserAgent && own != nullptr && !own->userAgent.empty()) set(CURLOPT_USERAGENT, own->userAgent.c_str());
    if (!hasContentType) append("Content-Type:");
    if (!hasExpect) append("Expect:");
    if (!hasAccept) append("Accept:");
    set(CURLOPT_HTTPHEADER, list);
    return ok;
}

void SessionImpl::start(std::unique_ptr<TaskState> task) {
    if (task->refusal) {
        Error refusal = std::move(*task->refusal);
        deliver(*task, std::nullopt, std::nullopt, std::move(refusal));
        return;
    }
    task->easy.reset(curl_easy_init());
    task->trust = this->trust();
    task->maxBody = maxBody.load(std::memory_order_relaxed);
    task->lastActivity = Clock::now();
    if (task->control && task->control->cancelled.load()) {
        task->easy.reset();
        deliver(*task, std::nullopt, std::nullopt,
                makeURLError(CURLE_ABORTED_BY_CALLBACK, task->url, "cancelled before it started"));
        return;
    }
    if (!task->easy) {
        deliver(*task, std::nullopt, std::nullopt,
                Error::withDescription(URLErrorDomain, URLErrorUnknown, "The request could not be created."));
        return;
    }
    if (!configure(*task)) {
        Error error = Error::withDescription(URLErrorDomain, URLErrorBadRequest,
                                             "The request cannot be sent: its method or a header field is "
                                             "malformed, or an option was refused.");
        task->easy.reset();
        deliver(*task, std::nullopt, std::nullopt, std::move(error));
        return;
    }
    // Registered before libcurl holds the handle, so a failure here leaves nothing behind.
    TaskState* key = task.get();
    auto it = active_.emplace(key, std::move(task)).first;
    if (key->control) key->control->live = key;
    if (curl_multi_add_handle(multi_, key->easy.get()) != CURLM_OK) {
        std::unique_ptr<TaskState> failed = std::move(it->second);
        if (failed->control) failed->control->live = nullptr;
        active_.erase(it);
        failed->easy.reset();
        deliver(*failed, std::nullopt, std::nullopt,
                Error::withDescription(URLErrorDomain, URLErrorUnknown, "The request could not be started."));
    }
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

// A kept-alive connection that the server closed just as it was picked for reuse
// refuses the request's bytes (EPIPE / reset while sending). The request never
// reached the server whole, so it cannot have been acted on: it is sent once more,
// on a new connection. Any failure after the request was sent is reported as is,
// so a request the server may have processed is never repeated.
bool SessionImpl::resendOnFreshConnection(std::unique_ptr<TaskState>& task, CURLcode code) {
    if ((code != CURLE_SEND_ERROR && !task->closedBeforeSending) || task->resent || task->timedOut ||
        task->sawHeaders) {
        return false;
    }
    CURL* h = task->easy.get();
    long newConnections = -1;
    if (curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &newConnections) != CURLE_OK || newConnections != 0) return false;
    long headerSize = -1;
    if (curl_easy_getinfo(h, CURLINFO_HEADER_SIZE, &headerSize) != CURLE_OK || headerSize != 0) return false;
    if (curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L) != CURLE_OK) return false;
    task->resent = true;
    task->sends = 0;  // a new attempt: none of the first one's bytes were taken
    task->closedBeforeSending = false;
    task->body.clear();
    task->response = HTTPURLResponse{};
    task->connected = false;
    task->lastActivity = Clock::now();
    task->lastUp = 0;
    task->lastDown = 0;
    task->errorBuffer[0] = '\0';
    TaskState* key = task.get();
    auto it = active_.emplace(key, std::move(task)).first;
    if (curl_multi_add_handle(multi_, h) != CURLM_OK) {
        task = std::move(it->second);
        active_.erase(it);
        return false;
    }
    return true;
}

void SessionImpl::finish(TaskState* raw, CURLcode code) {
    auto it = active_.find(raw);
    if (it == active_.end()) return;
    std::unique_ptr<TaskState> task = std::move(it->second);
    active_.erase(it);
    curl_multi_remove_handle(multi_, task->easy.get());
    if (resendOnFreshConnection(task, code)) return;
    if (task->control) {
        task->control->live = nullptr;
        task->control->metrics = readMetrics(task->easy.get());
        curl_off_t pretransfer = 0;
        curl_easy_getinfo(task->easy.get(), CURLINFO_PRETRANSFER_TIME_T, &pretransfer);
        task->control->mayHaveBeenSent.store(task->connected || task->sawHeaders || pretransfer > 0 ||
                                             task->secondSendStopped);
    }

    long status = 0;
    curl_easy_getinfo(task->easy.get(), CURLINFO_RESPONSE_CODE, &status);
    std::optional<HTTPURLResponse> response;
    if (task->sawHeaders) {
        task->response.statusCode = status;
        task->response.URL = task->url;
        response = std::move(task->response);
    }

    std::optional<Error> error;
    if (task->cancelled) {
        error = makeURLError(CURLE_ABORTED_BY_CALLBACK, task->url, "cancelled by the application");
    } else if (task->pastDeadline) {
        error = makeURLError(CURLE_OPERATION_TIMEDOUT, task->url, "the task's deadline passed");
    } else if (task->timedOut) {
        error = makeURLError(CURLE_OPERATION_TIMEDOUT, task->url,
                             "no data for " + std::to_string(task->timeout) + " seconds");
    } else if (task->closedBeforeSending) {
        error = makeURLError(CURLE_SEND_ERROR, task->url, "the server closed the kept-alive connection first");
    } else if (task->secondSendStopped) {
        error = makeURLError(CURLE_GOT_NOTHING, task->url,
                             "the connection closed after the request was sent; it is not sent again");
    } else if (task->bodyTooLarge) {
        error = makeURLError(CURLE_FILESIZE_EXCEEDED, task->url,
                             "answer larger than " + std::to_string(task->maxBody) + " bytes");
    } else if (task->outOfMemory) {
        error = makeURLError(CURLE_OUT_OF_MEMORY, task->url, "");
    } else if (task->undecodable) {
        error = makeURLError(CURLE_BAD_CONTENT_ENCODING, task->url, "the answer's content encoding does not decode");
    } else if (code != CURLE_OK) {
        error = makeURLError(code, task->url, proxyFailure(*task, code) + task->errorBuffer);
    } else if (!task->decoder.complete()) {
        error = makeURLError(CURLE_BAD_CONTENT_ENCODING, task->url, "the compressed answer ends early");
    }
    task->easy.reset();
    task->headerList.reset();
    task->trust.reset();  // nothing of OpenSSL is freed after the host's code has run
    task->caBlob.reset();
    if (error) {
        task->body.clear();
        task->body.shrink_to_fit();
        deliver(*task, std::nullopt, std::move(response), std::move(error));
    } else {
        deliver(*task, std::move(task->body), std::move(response), std::nullopt);
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

ScheduledCall scheduleOnDeliveryThread(Clock::time_point when, std::function<void()> call) {
    auto entry = std::make_shared<ScheduledEntry>();
    entry->when = when;
    entry->call = std::move(call);
    URLSession::sharedSession();  // the session (and g_session) exists from here on
    g_session->schedule(entry);
    return ScheduledCall(std::move(entry));
}

void ScheduledCall::runNow() const {
    if (entry_ && g_session != nullptr) g_session->bringForward(*entry_);
}

void failBeforeSending(Error error, FailureCallback onFailure) {
    auto state = std::make_unique<TaskState>();
    state->refusal = std::move(error);
    state->completion = [onFailure = std::move(onFailure)](std::optional<std::string>, std::optional<HTTPURLResponse>,
                                                           std::optional<Error> refusal) {
        if (onFailure && refusal) onFailure(std::move(*refusal));
    };
    URLSession::sharedSession();  // the session (and g_session) exists from here on
    g_session->submit(std::move(state));
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

URLSession::URLSession() : impl_(new detail::SessionImpl()), configuration_(impl_) { detail::g_session = impl_; }

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
