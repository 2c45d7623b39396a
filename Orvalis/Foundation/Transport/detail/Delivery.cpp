// Calls run on the URL session's delivery thread for code outside the session,
// and the decode threads that keep large answers off it.
#include <Orvalis/Foundation/System/detail/Contained.h>
#include <Orvalis/Foundation/Transport/detail/Delivery.h>
#include <Orvalis/Foundation/Transport/detail/Session.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace orvalis::detail {

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

namespace {

// Two threads: a second large answer need not wait for the first, and more
// would only compete with the host for the cores decoding needs.
constexpr std::size_t kDecodeThreads = 2;

struct DecodePool {
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable left;
    std::deque<std::function<void()>> queue;
    std::vector<std::thread> threads;
    std::size_t idle = 0;
    std::size_t running = 0;  // threads still inside their loop
    bool stopping = false;

    bool onPoolThreadLocked() const {
        const auto self = std::this_thread::get_id();
        return std::any_of(threads.begin(), threads.end(), [self](const std::thread& t) { return t.get_id() == self; });
    }

    void run() noexcept {
        std::unique_lock lock(mutex);
        for (;;) {
            ++idle;
            work.wait(lock, [this] { return stopping || !queue.empty(); });
            --idle;
            if (stopping) break;
            std::function<void()> next = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            callContained("URLSession: a decode", next);
            next = nullptr;  // the answer is freed here, not under the lock
            lock.lock();
        }
        --running;
        left.notify_all();
    }
};

// Never destroyed: a decode thread may still be running while static objects are torn down at exit.
DecodePool*& decodePoolSlot() {
    static DecodePool* pool = new DecodePool();
    return pool;
}
DecodePool& decodePool() { return *decodePoolSlot(); }

}  // namespace

void rebuildDecodePoolInChild() noexcept {
    // The parent's pool (its threads, its queue of the parent's answers) is left as it is.
    static auto* abandoned = new std::vector<DecodePool*>;  // reachable: leak checkers leave it alone
    if (auto* fresh = new (std::nothrow) DecodePool()) {
        try {
            abandoned->push_back(decodePoolSlot());
        } catch (...) {
            // out of memory: only a leak report is lost
        }
        decodePoolSlot() = fresh;
    }
}

void runOnDecodeThread(std::function<void()> work) {
    URLSession::sharedSession();  // its exit path stops these threads too
    DecodePool& pool = decodePool();
    std::lock_guard lock(pool.mutex);
    if (pool.stopping) return;  // the process is exiting: nothing more is started
    pool.queue.push_back(std::move(work));
    if (pool.idle < pool.queue.size() && pool.threads.size() < kDecodeThreads) {
        try {
            pool.threads.emplace_back([&pool] { pool.run(); });
            ++pool.running;
        } catch (...) {
            if (pool.threads.empty()) {  // no thread at all: the caller decodes itself
                pool.queue.pop_back();
                throw;
            }
        }
    }
    pool.work.notify_one();
}

void stopDecodeThreads() noexcept {
    DecodePool& pool = decodePool();
    std::unique_lock lock(pool.mutex);
    // What is queued stays queued, never run: like the transfers in flight at
    // exit, its callbacks are never called.
    pool.stopping = true;
    pool.work.notify_all();
    // Runs twice (main thread's exit watch, then the exit handler); never joins itself.
    const bool left = !pool.onPoolThreadLocked() &&
                      pool.left.wait_for(lock, std::chrono::seconds(2), [&pool] { return pool.running == 0; });
    std::vector<std::thread> threads;
    threads.swap(pool.threads);
    lock.unlock();
    for (std::thread& t : threads) {
        if (left) {
            t.join();  // also waits for its thread-local clean-up
        } else {
            t.detach();  // a decode still running keeps its thread
        }
    }
}

}  // namespace orvalis::detail
