// What a transfer may send, and when it may send it again: the sockets of the
// connections it opens, and the transfer library's call before each send.
#include <Orvalis/Foundation/Transport/detail/SendGuard.h>
#include <Orvalis/Foundation/Transport/detail/Session.h>
#include <openssl/ssl.h>

#include <cstring>
#include <mutex>
#include <unordered_map>

#include <poll.h>
#include <unistd.h>

namespace orvalis::detail {
namespace {

// The sockets of the HTTP/1 TLS connections opened here, by their TLS session:
// libcurl names the socket of a reused connection to no callback, but it tells
// its TLS session. Never freed: connections may close during exit, after the
// static objects are gone.
struct TlsSockets {
    std::mutex mutex;
    std::unordered_map<const void*, curl_socket_t> bySession;
};
TlsSockets& tlsSockets() {
    static auto* sockets = new TlsSockets;
    return *sockets;
}

SSL* tlsSessionOf(CURL* easy) noexcept {
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_TLS_SSL_PTR, &info) != CURLE_OK || info == nullptr) return nullptr;
    return info->backend == CURLSSLBACKEND_OPENSSL ? static_cast<SSL*>(info->internals) : nullptr;
}

// Whether the connection was given HTTP/2 by ALPN.
bool speaksHttp2(SSL* tls) noexcept {
    const unsigned char* protocol = nullptr;
    unsigned int length = 0;
    if (tls != nullptr) SSL_get0_alpn_selected(tls, &protocol, &length);
    return length == 2 && std::memcmp(protocol, "h2", 2) == 0;
}

// Whether a kept-alive connection already has something to read before the
// request is written: the server's close (or its TLS alert) on a connection it
// let go while idle. Nothing of the request has left yet, so it can go on a
// fresh connection instead. libcurl takes the pending TLS alert for a live
// connection; a plain connection's close it sees itself. HTTP/2 connections
// are left out: other streams' frames may be waiting on them. A new connection
// is only remembered here, a resent request's too.
bool closedWhileIdle(TaskState& task, SSL* tls) noexcept {
    long fresh = -1;
    if (tls == nullptr || curl_easy_getinfo(task.easy.get(), CURLINFO_NUM_CONNECTS, &fresh) != CURLE_OK) return false;
    TlsSockets& sockets = tlsSockets();
    std::lock_guard lock(sockets.mutex);
    if (fresh != 0) {
        if (!task.sentOverHttp2 && task.socket != CURL_SOCKET_BAD) sockets.bySession[tls] = task.socket;
        return false;
    }
    auto it = sockets.bySession.find(tls);
    if (it == sockets.bySession.end()) return false;
    pollfd ready{it->second, POLLIN, 0};
    return ::poll(&ready, 1, 0) > 0;
}

}  // namespace

int onSocketOpened(void* user, curl_socket_t socket, curlsocktype) noexcept {
    auto* task = static_cast<TaskState*>(user);
    task->socket = socket;
    try {
        task->owner->socketOpened(socket);
    } catch (...) {
        return CURL_SOCKOPT_ERROR;  // untracked, it could not be retired nor left behind at a fork
    }
    return CURL_SOCKOPT_OK;
}

int onSocketClosed(void* session, curl_socket_t socket) noexcept {
    static_cast<SessionImpl*>(session)->socketClosed(socket);
    TlsSockets& sockets = tlsSockets();
    {
        std::lock_guard lock(sockets.mutex);
        std::erase_if(sockets.bySession, [socket](const auto& entry) { return entry.second == socket; });
    }
    return ::close(socket);
}

// Called by the transfer library each time it is about to send the request. A
// second call is its own retry after a reused connection died: allowed only when
// none of the request's bytes were written; otherwise the server may have it, and
// it is never sent again behind the host's back.
// One exception: over HTTP/2 the library sends again without having failed only
// for a stream the server refused (REFUSED_STREAM, or one past the last stream of
// its GOAWAY, as nginx sends after keepalive_requests), which the server promises
// it did not process. A reset or closed connection writes its failure first.
int onPreRequest(void* user, char*, char*, int, int) noexcept {
    auto* task = static_cast<TaskState*>(user);
    const bool refusedByServer = task->sentOverHttp2 && task->errorBuffer[0] == '\0';
    SSL* tls = tlsSessionOf(task->easy.get());
    task->sentOverHttp2 = speaksHttp2(tls);
    if (task->sends++ == 0) {
        if (closedWhileIdle(*task, tls) && !task->resent) {
            task->closedBeforeSending = true;
            return CURL_PREREQFUNC_ABORT;
        }
        return CURL_PREREQFUNC_OK;
    }
    long written = -1;
    if ((curl_easy_getinfo(task->easy.get(), CURLINFO_REQUEST_SIZE, &written) == CURLE_OK && written == 0 &&
         task->lastUp == 0) ||
        refusedByServer) {
        return CURL_PREREQFUNC_OK;
    }
    task->secondSendStopped = true;
    return CURL_PREREQFUNC_ABORT;
}

}  // namespace orvalis::detail
