#pragma once

// Internal to the journal and the operations' pipeline: not installed. A journal
// of this library's own that can make several entries durable in one commit, so
// that payments started together share one sync (or one round trip to the
// database). Journals a host brings are written one entry at a time.
#include <Orvalis/ServiceInfrastructure/Journal.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace orvalis::detail {

class BatchJournal {
public:
    virtual ~BatchJournal() = default;
    /// Makes every entry durable in one transaction and returns their ids, in order.
    /// Throws (and writes none of them) when it cannot.
    virtual std::vector<std::int64_t> recordAttempts(const std::vector<JournalEntry>& entries) = 0;
    /// Records several outcomes in one transaction. Throws (and records none) when it cannot.
    virtual void recordOutcomes(const std::vector<std::pair<std::int64_t, JournalOutcome>>& outcomes) = 0;
};

}  // namespace orvalis::detail
