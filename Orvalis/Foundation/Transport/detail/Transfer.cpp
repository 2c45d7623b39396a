// One transfer on the delivery thread: its easy handle set up from the task,
// the transfer library's callbacks, a resend on a fresh connection, and the
// outcome it ends with.
#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLSession.h>
#include <Orvalis/Foundation/Transport/detail/Session.h>
#include <Orvalis/Foundation/Transport/detail/ContentDecoder.h>
#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/RequestTarget.h>
#include <Orvalis/Foundation/Transport/detail/SendGuard.h>
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

namespace orvalis::detail {
namespace {

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
    if (n >= CURL_MAX_WRITE_SIZE) tlWholeBufferTaken = true;  // the default receive buffer, whole
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

// The transfer's own limit from what is left of its deadline, so that it ends
// right then rather than at the session's next check. Never 0 (no limit to libcurl).
long msLeftUntil(Clock::time_point deadline) noexcept {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<long>(std::clamp<long long>(left, 1, std::numeric_limits<long>::max()));
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

// text in quotes for an error message, each byte outside printable ASCII as \xHH.
std::string quotedForMessage(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text.substr(0, 64)) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return out + (text.size() > 64 ? "...\"" : "\"");
}

}  // namespace

std::shared_ptr<const std::string> SessionImpl::caBlobFor(const TransportSettings& own,
                                                          const std::shared_ptr<const TrustSettings>& trust) {
    if (own.caBlob && own.caBlobFor == trust) return own.caBlob;  // made again when the process's anchors change
    if (!systemPEM_) {
        // The system's anchors still count: a CA list of its own replaces libcurl's bundle.
        systemPEM_ = std::make_shared<const std::string>(
            caFile_.empty() ? std::string() : readWholeFile(caFile_).value_or(std::string()));
    }
    auto blob = std::make_shared<std::string>();
    for (const std::string* part : {systemPEM_.get(), &trust->pem, &own.trustedPEM}) {
        *blob += *part;
        if (!blob->empty() && blob->back() != '\n') *blob += '\n';
    }
    own.caBlob = std::move(blob);
    own.caBlobFor = trust;
    return own.caBlob;
}

std::string SessionImpl::configure(TaskState& t) {
    CURL* h = t.easy.get();
    std::string refused;  // the first thing refused, named for the error
    auto set = [&](CURLoption option, auto value) {
        const CURLcode code = curl_easy_setopt(h, option, value);
        if (code == CURLE_OK || !refused.empty()) return;
        const curl_easyoption* known = curl_easy_option_by_id(option);
        refused = std::string("libcurl refused its option CURLOPT_") +
                  (known != nullptr ? known->name : std::to_string(static_cast<int>(option)).c_str()) + " (" +
                  curl_easy_strerror(code) + ")";
    };
    set(CURLOPT_PRIVATE, static_cast<void*>(&t));
    set(CURLOPT_ERRORBUFFER, t.errorBuffer);
    set(CURLOPT_URL, t.url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_SHARE, share_);
    set(CURLOPT_MAXAGE_CONN, kMaxAgeConnOption);
    // No CURLOPT_BUFFERSIZE: libcurl refuses to change it on a reused handle that still holds
    // its receive buffer, and below its 16 KiB default an HTTP/2 answer waits in libcurl's
    // HTTP/2 layer, a buffer at a time, with nothing on the socket to wake the loop.
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
        t.caBlob = caBlobFor(*own, t.trust);
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
    set(CURLOPT_SOCKOPTFUNCTION, &onSocketOpened);
    set(CURLOPT_SOCKOPTDATA, static_cast<void*>(&t));
    set(CURLOPT_CLOSESOCKETFUNCTION, &onSocketClosed);
    set(CURLOPT_CLOSESOCKETDATA, static_cast<void*>(this));
    set(CURLOPT_PREREQFUNCTION, &onPreRequest);
    set(CURLOPT_PREREQDATA, static_cast<void*>(&t));
    set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(t.maxBody));
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(t.timeout * 1000.0)));
    if (t.deadline) set(CURLOPT_TIMEOUT_MS, msLeftUntil(*t.deadline));

    if (!isToken(t.method)) return "its method " + quotedForMessage(t.method) + " is not a token";
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
            if (refused.empty()) refused = "no memory for its header fields";
            return;
        }
        list = next;
        if (!t.headerList) t.headerList.reset(list);  // the head never changes after the first line
    };
    for (const auto& [name, value] : t.requestHeaders) {
        // A value is never shown: it may be a credential.
        if (!isToken(name)) return "its header field name " + quotedForMessage(name) + " is not a token";
        if (!isSafeHeaderValue(value)) return "the value of its header field " + name + " holds CR, LF or NUL";
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
    std::vector<std::pair<std::string, std::string>>().swap(t.requestHeaders);  // the list holds copies
    return refused;
}

void SessionImpl::start(std::unique_ptr<TaskState> task) {
    if (task->refusal) {
        Error refusal = std::move(*task->refusal);
        deliver(*task, std::nullopt, std::nullopt, std::move(refusal));
        return;
    }
    task->easy = takeEasyHandle();
    task->owner = this;
    task->trust = this->trust();
    task->maxBody = maxBodyBytes();
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
    if (std::string refused = configure(*task); !refused.empty()) {
        Error error = Error::withDescription(URLErrorDomain, URLErrorBadRequest,
                                             "The request cannot be sent: " + refused + ".");
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

EasyHandle SessionImpl::takeEasyHandle() {
    if (spareEasy_.empty()) return EasyHandle(curl_easy_init());
    EasyHandle easy = std::move(spareEasy_.back());
    spareEasy_.pop_back();
    return easy;
}

void SessionImpl::keepEasyHandle(EasyHandle easy) noexcept {
    if (!easy) return;
    // Every option back to its default (headers, body, method, proxy, callbacks, private
    // pointer, error buffer): the next task sets all of its own. The connections stay
    // with the multi handle, the DNS and TLS session caches with the share.
    curl_easy_reset(easy.get());
    if (spareEasy_.size() >= kMaxSpareEasyHandles) return;
    try {
        spareEasy_.push_back(std::move(easy));
    } catch (...) {
        // Freed with the handle: the next task makes a new one.
    }
}

// A kept-alive connection that the server closed just as it was picked for reuse
// refuses the request's bytes (EPIPE / reset while sending). The request never
// reached the server whole, so it cannot have been acted on: it is sent once more,
// on a new connection. Any failure after the request was sent is reported as is,
// so a request the server may have processed is never repeated.
// One more case, for a GET only: its HTTP/2 stream was the last of a reused
// connection the server let go (GOAWAY, as nginx sends after keepalive_requests)
// and ended without an answer. libcurl fails it with its framing-layer error
// instead of sending it again as it does with the connection's other refused
// streams, and that error cannot tell a refusal from a broken stream: a GET may
// be sent again after a lost connection, a POST is reported as is.
bool SessionImpl::resendOnFreshConnection(std::unique_ptr<TaskState>& task, CURLcode code) {
    const bool lostHttp2Get = code == CURLE_HTTP2 && task->sentOverHttp2 && task->method == "GET";
    if ((code != CURLE_SEND_ERROR && !task->closedBeforeSending && !lostHttp2Get) || task->resent ||
        task->timedOut || task->sawHeaders) {
        return false;
    }
    CURL* h = task->easy.get();
    long newConnections = -1;
    if (curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &newConnections) != CURLE_OK || newConnections != 0) return false;
    long headerSize = -1;
    if (curl_easy_getinfo(h, CURLINFO_HEADER_SIZE, &headerSize) != CURLE_OK || headerSize != 0) return false;
    if (curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L) != CURLE_OK) return false;
    if (task->deadline && curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, msLeftUntil(*task->deadline)) != CURLE_OK) {
        return false;
    }
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

    if (code == CURLE_OPERATION_TIMEDOUT && task->deadline && Clock::now() >= *task->deadline) {
        task->pastDeadline = true;
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
    // Only a handle whose transfer ended cleanly is used again.
    if (!error && code == CURLE_OK) {
        keepEasyHandle(std::move(task->easy));
    } else {
        task->easy.reset();
    }
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

}  // namespace orvalis::detail
