#pragma once

// Internal to the operations' pipeline: not installed. The journal's own writer:
// one thread per journal object, started on first use, that makes the entries of
// attempts durable before they are sent and records their outcomes afterwards,
// so that no caller's thread and no delivery thread ever waits for a disk sync
// or another process's lock.
#include <Orvalis/ServiceInfrastructure/Journal.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace orvalis::detail {

struct WriterQueue;

/// An entry waiting to be made durable.
struct EntryJob {
    JournalEntry entry;
    /// When its operation started: a journal that is locked refuses it busyTimeout after.
    std::chrono::steady_clock::time_point startedAt;
    /// True once its operation no longer wants it sent (cancelled, out of time): it is dropped unwritten.
    std::function<bool()> abandoned;
    /// Called once on the writer's thread: the entry's id once durable; otherwise 0 and why it
    /// could not be written (no value when it was abandoned).
    std::function<void(std::int64_t id, std::optional<std::string> failure)> done;
};

/// The writer of one journal object, shared by every client that uses it.
class JournalWriter {
public:
    /// The writer of journal, made on first need. Any thread.
    static std::shared_ptr<JournalWriter> of(const std::shared_ptr<Journal>& journal);
    explicit JournalWriter(std::shared_ptr<Journal> journal);
    /// The queued outcomes are still written; the thread then ends on its own.
    ~JournalWriter();
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;

    /// Queues job; never waits for the journal. Writes that arrive together share one
    /// commit when the journal can (BatchJournal); a host's journal gets them one at a time.
    /// Throws std::system_error when the writer's thread cannot start.
    void recordAttempt(EntryJob job);
    /// Queues the outcome of entry id; a failure to write it is logged (the entry then stays
    /// unsettled). A journal that is locked is tried again until it is written. Never throws.
    void recordOutcome(std::int64_t id, JournalOutcome outcome) noexcept;
    /// Waits until everything queued so far is written (or refused), at most until until
    /// (none: no limit); true when it was.
    bool waitUntilWritten(std::optional<std::chrono::steady_clock::time_point> until) const;

private:
    std::shared_ptr<WriterQueue> queue_;
};

}  // namespace orvalis::detail
