#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/ServiceInfrastructure/Operation.h>

#include <chrono>
#include <cstdint>
#include <cstddef>
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

/// Opens the journal at path, creating it when missing. path is an SQLite file (write-ahead
/// log, every write synced to disk before it returns), or a PostgreSQL database named by a
/// libpq connection string: a URI ("postgresql://...", "postgres://...") or keyword=value
/// pairs ("host=db1 dbname=shop"); write "./" before a file whose name looks like one.
/// In a database, the journal's tables are made on first use; busyTimeout then bounds
/// connecting and every statement. Several clients, threads and processes may open the same
/// journal. Throws JournalError when it cannot be opened or made (a database unreachable),
/// is not a journal, or was made by a newer Orvalis; its text never holds a password. Any thread.
ORVALIS_EXPORT std::shared_ptr<Journal> openJournal(const std::string& path, const JournalOptions& options = {});

/// True when openJournal reads path as a PostgreSQL connection string rather than a file name.
ORVALIS_EXPORT bool isJournalConnectionString(const std::string& path) noexcept;

/// Names this process in the journals it writes: id (1 to 200 printable ASCII characters, or ""
/// for the default: host name, process id and start time) is kept with every entry recorded
/// from now on, and each journal it writes records every aliveInterval (10 ms to 1 h) that the
/// instance is alive. False, and nothing changed, for a bad value. Any thread.
ORVALIS_EXPORT bool setJournalInstance(const std::string& id,
                                       std::chrono::milliseconds aliveInterval = std::chrono::seconds(10));

/// The id this process's entries carry (see setJournalInstance). Any thread.
ORVALIS_EXPORT std::string journalInstanceId();

/// Which entries findJournalEntries gives.
struct ORVALIS_EXPORT JournalQuery {
    /// Only the unsettled entries (see JournalEntry::unsettled); false: every entry.
    bool unsettledOnly = true;
    /// Only the entries of this instance.
    std::optional<std::string> instance;
    /// An instance not seen alive for longer than this is stale.
    std::chrono::milliseconds staleAfter{60000};
    /// Only the entries of stale instances (and of entries whose instance never said it was alive).
    bool staleOnly = false;
    /// Only the entries recorded longer ago than this.
    std::optional<std::chrono::milliseconds> olderThan;
    /// Only the entries with an id above this one, oldest first, at most limit of them.
    std::int64_t afterId = 0;
    std::size_t limit = SIZE_MAX;
};

/// An entry with the instance that recorded it.
struct ORVALIS_EXPORT InstanceEntry {
    JournalEntry entry;
    /// The id of the instance that recorded it ("" for an entry older than instances).
    std::string instance;
    /// True when that instance was not seen alive within the query's staleAfter.
    bool stale = false;
};

/// The entries of journal (an openJournal one, SQLite or PostgreSQL) that query selects, across
/// every instance writing to it, oldest first. Throws JournalError when the journal cannot be read,
/// or is one of the host's own (it keeps no instances). Any thread.
ORVALIS_EXPORT std::vector<InstanceEntry> findJournalEntries(Journal& journal, const JournalQuery& query);

/// What settleOnce did.
enum class SettleResult {
    Settled,         ///< this call settled the entry
    AlreadySettled,  ///< it was settled before (by another instance, perhaps at the same moment): note not kept
    NoSuchEntry,     ///< there is no entry id
};

/// Settles entry id with note unless it is settled already: of two instances settling the same entry
/// at once, exactly one is told Settled. A journal of the host's own falls back to Journal::settle.
/// Throws JournalError when the journal cannot be written. Any thread.
ORVALIS_EXPORT SettleResult settleOnce(Journal& journal, std::int64_t id, const std::string& note);

/// What copyJournal did.
struct ORVALIS_EXPORT JournalCopyCounts {
    std::size_t copied = 0;  ///< entries added to the destination
    std::size_t present = 0; ///< entries it held already (their outcome and settlement completed)
};

/// Copies every entry of from into to (SQLite to PostgreSQL or back), keeping each one's instance,
/// times, outcome and settlement; ids are the destination's. An entry is the same one when its
/// instance, correlation id and time match, so copying twice adds nothing. Throws JournalError.
ORVALIS_EXPORT JournalCopyCounts copyJournal(Journal& from, Journal& to);

/// The entry as a Dictionary, as orvalis-journal exports it: the fields by name,
/// times as ISO 8601 UTC text, "reached" as "no", "maybe", "yes" or null (unknown).
ORVALIS_EXPORT Dictionary journalEntryDictionary(const JournalEntry& entry);

/// The same with "instance" and "instanceStale".
ORVALIS_EXPORT Dictionary journalEntryDictionary(const InstanceEntry& entry);

}  // namespace orvalis
