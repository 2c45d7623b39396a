#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/ServiceInfrastructure/Operation.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvalis {

/// Which operations a Client records in its journal.
enum class JournalScope {
    Payments,       ///< authorizePairing and expressCheckout (the default)
    AllOperations,  ///< every operation
};

/// What a journal keeps of one attempt of an operation: what went out before the
/// first byte was sent, then how the attempt ended. Never a secret, a card id or a
/// body: only the ids the request carried, the amount and a digest of the body.
struct ORVALIS_EXPORT JournalEntry {
    /// The journal's number for the entry, rising with each attempt recorded.
    std::int64_t id = 0;
    /// The operation's name, e.g. "expressCheckout".
    std::string operation;
    /// The attempt's correlation id: the oauth_nonce its request carried.
    std::string correlationId;
    /// The ids the request carried ("checkoutId", "pairingId", "preCheckoutTransactionId", ...).
    std::map<std::string, std::string> requestIds;
    /// The amount and currency of a payment.
    std::optional<double> amount;
    std::optional<std::string> currency;
    /// SHA-256 of the request's body, in lower-case hex ("" without a body).
    std::string bodyDigest;
    /// When the entry was recorded, before the request was sent.
    std::chrono::system_clock::time_point recordedAt;

    /// How the attempt ended; no value while it is unknown (in flight, or the process ended first).
    std::optional<Reached> reached;
    /// The answer's HTTP status, 0 when no answer came.
    long statusCode = 0;
    /// The attempt's failure, when it failed: its domain and code.
    std::optional<std::string> errorDomain;
    std::optional<std::int64_t> errorCode;
    /// The ids the answer named ("transactionId", "pairingId", ...).
    std::map<std::string, std::string> answerIds;
    /// When the outcome was recorded.
    std::optional<std::chrono::system_clock::time_point> completedAt;

    /// When a host settled the entry (Journal::settle), and its note.
    std::optional<std::chrono::system_clock::time_point> settledAt;
    std::string settleNote;

    /// True when the host still has to find out what happened: no outcome recorded,
    /// or Reached::Maybe, and not settled.
    bool unsettled() const noexcept;
};

/// How one attempt ended, as the pipeline records it.
struct ORVALIS_EXPORT JournalOutcome {
    Reached reached = Reached::No;
    long statusCode = 0;
    std::optional<std::string> errorDomain;
    std::optional<std::int64_t> errorCode;
    std::map<std::string, std::string> answerIds;
};

/// A journal that cannot do what was asked; what() names the file and the reason.
class ORVALIS_EXPORT JournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A durable record of the attempts that may reach the server, kept for a host
/// that must know after a crash what it may have paid. A Client records an entry
/// before the first byte of each attempt goes out, and its outcome afterwards.
/// A host may bring its own (a table in its own database): every member may be
/// called from several threads at once and must be safe so. Whatever a member
/// throws is a failure: when recordAttempt throws, the request is not sent.
class ORVALIS_EXPORT Journal {
public:
    virtual ~Journal();
    /// Makes entry (id, outcome and settlement ignored) durable and returns its id.
    virtual std::int64_t recordAttempt(const JournalEntry& entry) = 0;
    /// Records how attempt id ended.
    virtual void recordOutcome(std::int64_t id, const JournalOutcome& outcome) = 0;
    /// The unsettled entries (see JournalEntry::unsettled), oldest first.
    virtual std::vector<JournalEntry> unsettled() = 0;
    /// The entry id, or no value when there is none.
    virtual std::optional<JournalEntry> entry(std::int64_t id) = 0;
    /// Every entry with an id above afterId, oldest first, at most limit of them.
    virtual std::vector<JournalEntry> entries(std::int64_t afterId, std::size_t limit) = 0;
    /// Marks entry id resolved by the host, with note (what was found out); false when
    /// there is no such entry. Settling again replaces the note.
    virtual bool settle(std::int64_t id, const std::string& note) = 0;
};

/// How openJournal opens a journal file.
struct ORVALIS_EXPORT JournalOptions {
    /// How long a write waits while another connection (this process or another)
    /// writes; past it the write fails, and so the operation is refused (a Client's
    /// entry: this long after its operation started).
    std::chrono::milliseconds busyTimeout{5000};
    /// When set, the journal may not grow past about this many bytes: a write past it
    /// fails as on a full disk.
    std::optional<std::uint64_t> maxBytes;
};

/// Opens the SQLite journal at path, creating it when missing (write-ahead log,
/// every write synced to disk before it returns). Several clients, threads and
/// processes may open the same file. Throws JournalError when the file cannot be
/// opened or made, is not a journal, or was made by a newer Orvalis. Any thread.
ORVALIS_EXPORT std::shared_ptr<Journal> openJournal(const std::string& path, const JournalOptions& options = {});

/// The entry as a Dictionary, as orvalis-journal exports it: the fields by name,
/// times as ISO 8601 UTC text, "reached" as "no", "maybe", "yes" or null (unknown).
ORVALIS_EXPORT Dictionary journalEntryDictionary(const JournalEntry& entry);

}  // namespace orvalis
