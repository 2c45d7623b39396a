#include <Orvalis/Foundation/System/detail/Contained.h>
#include <Orvalis/Foundation/System/detail/ProcessThreads.h>
#include <Orvalis/ServiceInfrastructure/detail/StartThreads.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace orvalis::detail {

namespace {

struct StartPool {
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable left;
    std::deque<std::function<void()>> queue;
    std::vector<std::thread> threads;
    std::size_t idle = 0;
    std::size_t running = 0;  // threads still inside their loop
    bool stopping = false;

    void run() noexcept {
        std::unique_lock lock(mutex);
        for (;;) {
            ++idle;
            left.notify_all();  // a fork waits for every thread to be between two jobs
            work.wait(lock, [this] { return stopping || !queue.empty(); });
            --idle;
            if (stopping) break;
            std::function<void()> next = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            callContained("Client: an operation's start", next);
            next = nullptr;  // the operation's state is let go here, not under the lock
            lock.lock();
        }
        --running;
        left.notify_all();
    }
};

// Never destroyed: a start thread may still be signing while static objects are torn down at exit.
StartPool*& pool() {
    static StartPool* current = new StartPool();
    return current;
}

// The exit handler: nothing queued starts any more (like the transfers in flight at exit,
// those operations never complete); a signature being made is waited for, a bounded time.
void stopAtExit() noexcept {
    StartPool& p = *pool();
    std::unique_lock lock(p.mutex);
    p.stopping = true;
    p.work.notify_all();
    const auto self = std::this_thread::get_id();
    const bool onPool = std::any_of(p.threads.begin(), p.threads.end(), [self](auto& t) { return t.get_id() == self; });
    const bool left = !onPool && p.left.wait_for(lock, std::chrono::seconds(2), [&p] { return p.running == 0; });
    std::vector<std::thread> threads;
    threads.swap(p.threads);
    lock.unlock();
    for (std::thread& t : threads) left ? t.join() : t.detach();
}

// Around fork: the pool is not in the middle of a change, and the child, which has none of
// the parent's threads, gets a pool of its own; the parent's (its queue holds the parent's
// operations) is left as it is, never run nor freed there.
// A signature in hand may hold locks (the key cache's, OpenSSL's) that no thread of the child would
// ever release: the fork waits, a bounded time, until every start thread is between two jobs.
void lockBeforeFork() {
    StartPool& p = *pool();
    std::unique_lock lock(p.mutex);
    p.left.wait_for(lock, std::chrono::seconds(1), [&p] { return p.idle == p.running; });
    lock.release();
}
void unlockInParent() { pool()->mutex.unlock(); }
void renewInChild() {
    StartPool* inherited = pool();
    inherited->mutex.unlock();
    pool() = new StartPool();
}

}  // namespace

std::size_t startThreadCount() noexcept {
    static const std::size_t count = std::clamp<std::size_t>(usableCores(), 1, 16);
    return count;
}

void runOnStartThread(std::function<void()> work) {
    static const bool hooked = [] {
        callAroundFork(&lockBeforeFork, &unlockInParent, &renewInChild);
        return std::atexit(&stopAtExit) == 0;
    }();
    (void)hooked;
    StartPool& p = *pool();
    std::lock_guard lock(p.mutex);
    if (p.stopping) return;  // the process is exiting: nothing more is started
    p.queue.push_back(std::move(work));
    if (p.idle < p.queue.size() && p.threads.size() < startThreadCount()) {
        try {
            p.threads.emplace_back([&p] { p.run(); });
            ++p.running;
        } catch (...) {
            if (p.threads.empty()) {  // no thread at all: the caller starts it itself
                p.queue.pop_back();
                throw;
            }
        }
    }
    p.work.notify_one();
}

}  // namespace orvalis::detail
