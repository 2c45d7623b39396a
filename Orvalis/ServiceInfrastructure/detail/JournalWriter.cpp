#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/detail/Contained.h>
#include <Orvalis/Foundation/System/detail/ProcessThreads.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalBatch.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalWriter.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

namespace orvalis::detail {

using Clock = std::chrono::steady_clock;

struct OutcomeJob {
    std::int64_t id = 0;
    JournalOutcome outcome;
};

struct WriterQueue {
    std::shared_ptr<Journal> journal;
    BatchJournal* batch = nullptr;  // the same object, when it commits several writes at once
    std::mutex mutex;               // guards everything below
    std::condition_variable work;
    std::condition_variable quiet;
    std::vector<EntryJob> entries;
    std::vector<OutcomeJob> outcomes;
    bool threadRunning = false;
    bool writing = false;   // the thread is inside the journal
    std::size_t inHand = 0;  // taken by the thread, not yet written nor refused
    bool released = false;  // no writer refers to it any more: the thread ends once the queue is empty
    bool exiting = false;   // the process is exiting: nothing more is written

    void run() noexcept;
    bool writeEntries(std::vector<EntryJob>& pending);
    bool writeOutcomes(std::vector<OutcomeJob>& pending);
};

namespace {

// Every writer's queue, for the exit handler and fork. Never destroyed: used at exit.
struct Registry {
    std::mutex mutex;
    std::map<const Journal*, std::weak_ptr<JournalWriter>> writers;
    std::vector<std::weak_ptr<WriterQueue>> queues;
    std::vector<std::shared_ptr<WriterQueue>> heldOverFork;
};

Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

// At exit nothing more is written (an entry still queued is never sent; an outcome
// still queued leaves its entry unsettled, as a crash would); a write in progress is
// waited for, a bounded time, so that a host's journal is not used once torn down.
void stopAtExit() noexcept {
    std::vector<std::shared_ptr<WriterQueue>> queues;
    {
        std::lock_guard lock(registry().mutex);
        for (auto& weak : registry().queues)
            if (auto q = weak.lock()) queues.push_back(std::move(q));
    }
    const auto until = Clock::now() + std::chrono::seconds(2);
    for (auto& q : queues) {
        std::unique_lock lock(q->mutex);
        q->exiting = true;
        q->work.notify_all();
        q->quiet.wait_until(lock, until, [&q] { return !q->writing; });
    }
}

// Around fork: no queue is in the middle of a change; the child, which has none of the
// parent's threads, starts its writers again on first use, and never writes the parent's work.
void lockBeforeFork() {
    Registry& r = registry();
    r.mutex.lock();
    for (auto& weak : r.queues)
        if (auto q = weak.lock()) r.heldOverFork.push_back(std::move(q));
    for (auto& q : r.heldOverFork) q->mutex.lock();
}

void unlockInParent() {
    Registry& r = registry();
    std::vector<std::shared_ptr<WriterQueue>> held;
    held.swap(r.heldOverFork);
    for (auto& q : held) q->mutex.unlock();
    r.mutex.unlock();
}

void renewInChild() {
    Registry& r = registry();
    for (auto& q : r.heldOverFork) {
        // The parent's operations: neither run nor freed here.
        new std::vector<EntryJob>(std::move(q->entries));
        q->entries.clear();
        q->outcomes.clear();
        q->threadRunning = q->writing = false;
        q->mutex.unlock();
    }
    new std::vector<std::shared_ptr<WriterQueue>>(std::move(r.heldOverFork));  // freed by no one: see above
    r.heldOverFork.clear();
    r.mutex.unlock();
}

std::string whyOf(std::exception_ptr failure) {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "the journal threw";
    }
}

}  // namespace

// Entries first (payments wait for them), then outcomes. A locked journal is tried again
// after its short wait; each entry is refused at its own deadline, so later payments do not
// wait behind earlier ones' time-outs.
void WriterQueue::run() noexcept {
    std::vector<EntryJob> pendingEntries;
    std::vector<OutcomeJob> pendingOutcomes;
    std::unique_lock lock(mutex);
    for (;;) {
        if (pendingEntries.empty() && pendingOutcomes.empty()) {
            work.wait(lock, [this] { return exiting || released || !entries.empty() || !outcomes.empty(); });
        }
        if (exiting) break;
        std::move(entries.begin(), entries.end(), std::back_inserter(pendingEntries));
        entries.clear();
        std::move(outcomes.begin(), outcomes.end(), std::back_inserter(pendingOutcomes));
        outcomes.clear();
        inHand = pendingEntries.size() + pendingOutcomes.size();
        if (pendingEntries.empty() && pendingOutcomes.empty()) {
            if (released) break;
            continue;
        }
        writing = true;
        lock.unlock();
        bool busy = !pendingEntries.empty() && writeEntries(pendingEntries);
        if (!pendingOutcomes.empty() && writeOutcomes(pendingOutcomes)) busy = true;
        // A journal that says "busy" without waiting must not make this thread spin.
        if (busy && batch == nullptr) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lock.lock();
        writing = false;
        inHand = pendingEntries.size() + pendingOutcomes.size();
        quiet.notify_all();
    }
    if (exiting) {
        // What was waiting belongs to operations dropped at exit: neither run nor freed while the process
        // ends, and kept reachable, so that leak checkers do not report it.
        static auto* droppedMutex = new std::mutex;
        static auto* dropped = new std::vector<std::vector<EntryJob>>;
        std::lock_guard keep(*droppedMutex);
        try {
            dropped->push_back(std::move(pendingEntries));
        } catch (...) {
            (void)new (std::nothrow) std::vector<EntryJob>(std::move(pendingEntries));  // out of memory: a leak report
        }
    }
    threadRunning = false;
    quiet.notify_all();
}

bool WriterQueue::writeEntries(std::vector<EntryJob>& pending) {
    const auto now = Clock::now();
    const auto busyTimeout = batch ? batch->busyTimeout() : std::chrono::milliseconds::max();
    std::vector<EntryJob> writing;
    for (EntryJob& job : pending) {
        bool dropped = false;
        callContained("Journal writer: a check", [&] { dropped = job.abandoned && job.abandoned(); });
        if (dropped) {
            callContained("Journal writer: a step", [&] { job.done(0, std::nullopt); });
        } else {
            writing.push_back(std::move(job));
        }
    }
    pending.clear();
    if (writing.empty()) return false;
    if (batch == nullptr) {
        for (EntryJob& job : writing) {
            std::int64_t id = 0;
            std::optional<std::string> failure;
            try {
                id = journal->recordAttempt(job.entry);
            } catch (...) {
                failure = whyOf(std::current_exception());
            }
            callContained("Journal writer: a step", [&] { job.done(id, std::move(failure)); });
        }
        return false;
    }
    std::vector<JournalEntry> batchEntries;
    for (const EntryJob& job : writing) batchEntries.push_back(job.entry);
    std::vector<std::int64_t> ids;
    try {
        ids = batch->recordAttempts(batchEntries);
    } catch (const JournalBusy& e) {
        // Each entry waits until its own deadline; the others are tried again.
        for (EntryJob& job : writing) {
            if (now - job.startedAt >= busyTimeout) {
                callContained("Journal writer: a step", [&] { job.done(0, std::string(e.what())); });
            } else {
                pending.push_back(std::move(job));
            }
        }
        return true;
    } catch (...) {
        const std::string why = whyOf(std::current_exception());
        for (EntryJob& job : writing) callContained("Journal writer: a step", [&] { job.done(0, why); });
        return false;
    }
    for (std::size_t i = 0; i < writing.size(); ++i) {
        const std::int64_t id = i < ids.size() ? ids[i] : 0;
        callContained("Journal writer: a step", [&] {
            writing[i].done(id, id ? std::nullopt : std::optional<std::string>("the journal returned no id"));
        });
    }
    return false;
}

bool WriterQueue::writeOutcomes(std::vector<OutcomeJob>& pending) {
    auto logFailure = [](const std::string& why) {
        log("Client: the journal could not record an outcome, its entry stays unsettled: " + why);
    };
    if (batch == nullptr) {
        for (OutcomeJob& job : pending) {
            try {
                journal->recordOutcome(job.id, job.outcome);
            } catch (...) {
                logFailure(whyOf(std::current_exception()));
            }
        }
        pending.clear();
        return false;
    }
    std::vector<std::pair<std::int64_t, JournalOutcome>> outcomes;
    for (OutcomeJob& job : pending) outcomes.emplace_back(job.id, job.outcome);
    try {
        batch->recordOutcomes(outcomes);
    } catch (const JournalBusy&) {
        return true;  // kept, tried again: an outcome lost leaves a payment to reconcile by hand
    } catch (...) {
        logFailure(whyOf(std::current_exception()));
    }
    pending.clear();
    return false;
}

std::shared_ptr<JournalWriter> JournalWriter::of(const std::shared_ptr<Journal>& journal) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::weak_ptr<JournalWriter>& slot = r.writers[journal.get()];
    if (auto writer = slot.lock()) return writer;
    auto writer = std::make_shared<JournalWriter>(journal);
    slot = writer;
    // Forget what is gone: writers of journals freed, queues whose thread ended.
    std::erase_if(r.writers, [](const auto& entry) { return entry.second.expired(); });
    std::erase_if(r.queues, [](const auto& weak) { return weak.expired(); });
    r.queues.push_back(writer->queue_);
    return writer;
}

JournalWriter::JournalWriter(std::shared_ptr<Journal> journal) : queue_(std::make_shared<WriterQueue>()) {
    static const bool hooked = [] {
        callAroundFork(&lockBeforeFork, &unlockInParent, &renewInChild);
        return std::atexit(&stopAtExit) == 0;
    }();
    (void)hooked;
    queue_->batch = dynamic_cast<BatchJournal*>(journal.get());
    queue_->journal = std::move(journal);
}

JournalWriter::~JournalWriter() {
    std::lock_guard lock(queue_->mutex);
    queue_->released = true;
    queue_->work.notify_all();
}

void JournalWriter::recordAttempt(EntryJob job) {
    std::lock_guard lock(queue_->mutex);
    queue_->entries.push_back(std::move(job));
    if (!queue_->threadRunning) {
        try {
            // Detached: it holds its queue and the journal, and ends on its own once released.
            std::thread([queue = queue_] { queue->run(); }).detach();
        } catch (...) {
            queue_->entries.pop_back();
            throw;
        }
        queue_->threadRunning = true;
    }
    queue_->work.notify_one();
}

bool JournalWriter::waitUntilWritten(std::optional<Clock::time_point> until) const {
    WriterQueue& q = *queue_;
    std::unique_lock lock(q.mutex);
    auto written = [&q] {
        return q.exiting || !q.threadRunning || (q.entries.empty() && q.outcomes.empty() && q.inHand == 0 && !q.writing);
    };
    if (!until) {
        q.quiet.wait(lock, written);
        return true;
    }
    return q.quiet.wait_until(lock, *until, written);
}

void JournalWriter::recordOutcome(std::int64_t id, JournalOutcome outcome) noexcept {
    try {
        std::lock_guard lock(queue_->mutex);
        queue_->outcomes.push_back(OutcomeJob{id, std::move(outcome)});
        if (!queue_->threadRunning) {
            std::thread([queue = queue_] { queue->run(); }).detach();
            queue_->threadRunning = true;
        }
        queue_->work.notify_one();
    } catch (const std::exception& e) {
        log(std::string("Client: the journal could not record an outcome, its entry stays unsettled: ") + e.what());
    }
}

}  // namespace orvalis::detail
