#pragma once

// Internal to the journal and the operations' pipeline: not installed. A journal
// of this library's own that can make several entries durable in one commit, so
// that payments started together share one sync (or one round trip to the
// database). Journals a host brings are written one entry at a time.
#include <Orvalis/ServiceInfrastructure/Journal.h>

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

namespace orvalis::detail {

/// Another connection holds the journal's write lock: nothing was written, and
/// the same call may be made again. Thrown after a short wait, not a whole busyTimeout,
/// so that the journal's writer can refuse each entry at its own deadline.
class JournalBusy : public JournalError {
public:
    using JournalError::JournalError;
};

class BatchJournal {
public:
    virtual ~BatchJournal() = default;
    /// Makes every entry durable in one transaction and returns their ids, in order.
    /// Throws (and writes none of them) when it cannot; JournalBusy when it may be tried again.
    virtual std::vector<std::int64_t> recordAttempts(const std::vector<JournalEntry>& entries) = 0;
    /// Records several outcomes in one transaction. Throws (and records none) when it cannot;
    /// JournalBusy when it may be tried again.
    virtual void recordOutcomes(const std::vector<std::pair<std::int64_t, JournalOutcome>>& outcomes) = 0;
    /// How long an entry may wait for the journal, from its operation's start, before
    /// its payment is refused.
    virtual std::chrono::milliseconds busyTimeout() const noexcept { return std::chrono::seconds(5); }
};

}  // namespace orvalis::detail
