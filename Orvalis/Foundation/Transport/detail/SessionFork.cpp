// A fork with sessions running: before it, each delivery thread waits between two
// steps and every session's lock is held, so that the child finds none half-way;
// in the child each session is made again with its settings, the parent's
// handles, threads and locks left behind.
#include <Orvalis/Foundation/Transport/detail/Session.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <unistd.h>

namespace orvalis::detail {

void SessionImpl::beforeFork() noexcept {
    registryMutex().lock();
    for (SessionImpl* session : allLocked()) {
        std::unique_lock lock(session->mutex_);
        if (session->started_ && !session->stopping_ && !session->stopped_ &&
            std::this_thread::get_id() != session->threadId_) {
            session->pauseRequested_ = true;
            curl_multi_wakeup(session->multi_);
            session->pauseCv_.wait_for(lock, kForkPauseWait, [session] { return session->parked_; });
        }
        lock.release();  // held through the fork: no task or setting changes half-way
    }
}

void SessionImpl::afterForkInParent() noexcept {
    for (SessionImpl* session : allLocked()) {
        session->pauseRequested_ = false;
        session->mutex_.unlock();
        session->pauseCv_.notify_all();
    }
    registryMutex().unlock();
}

void SessionImpl::afterForkInChild() noexcept {
    for (SessionImpl* session : allLocked()) session->rebuildInChild();
    rebuildDecodePoolInChild();
    std::construct_at(&byLimitsMutex());  // another thread may have held it at the fork
    registryMutex().unlock();
}

void SessionImpl::rebuildInChild() noexcept {
    // Only this process's references to the parent's connections are dropped: a
    // plain close() sends nothing on them.
    for (curl_socket_t socket : sockets_) ::close(socket);
    std::shared_ptr<const TrustSettings> trust = trust_;
    const ConnectionLimits limits = limits_;
    const std::uint64_t maxBodyBytes = maxBody.load();
    // The old members are abandoned, never destroyed: their handles, threads and
    // locks are the parent's. Same address, so every pointer to the session holds.
    // A copy of their bytes stays reachable, so leak checkers do not report them.
    static auto* abandoned = new std::vector<std::unique_ptr<unsigned char[]>>;
    if (auto* bytes = new (std::nothrow) unsigned char[sizeof(SessionImpl)]) {
        std::memcpy(bytes, static_cast<const void*>(this), sizeof(SessionImpl));
        try {
            abandoned->emplace_back(bytes);
        } catch (...) {
            delete[] bytes;  // out of memory: only a leak report is lost
        }
    }
    std::construct_at(this, limits);
    trust_ = std::move(trust);
    maxBody.store(maxBodyBytes);
}

}  // namespace orvalis::detail
