#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Storage/detail/SQLiteDatabase.h>
#include <Orvalis/ServiceInfrastructure/Journal.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalBatch.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <mutex>
#include <type_traits>
#include <utility>

// The SQLite journal: one table of attempts, one row per attempt, written before
// the attempt's first byte is sent and updated once it ends.
namespace orvalis {

namespace {

using Clock = std::chrono::system_clock;
using detail::Database;
using detail::Statement;
using detail::StorageError;

// The schema this library writes (PRAGMA user_version); a newer one is refused.
constexpr std::int64_t kSchemaVersion = 1;

constexpr const char* kSchema = R"(
CREATE TABLE attempt (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  operation TEXT NOT NULL,
  correlation_id TEXT NOT NULL,
  request_ids TEXT NOT NULL,
  amount REAL,
  currency TEXT,
  body_sha256 TEXT NOT NULL,
  recorded_at INTEGER NOT NULL,
  reached INTEGER,
  status_code INTEGER NOT NULL DEFAULT 0,
  error_domain TEXT,
  error_code INTEGER,
  answer_ids TEXT NOT NULL DEFAULT '{}',
  completed_at INTEGER,
  settled_at INTEGER,
  settle_note TEXT NOT NULL DEFAULT '');
CREATE INDEX attempt_open ON attempt(id) WHERE settled_at IS NULL AND (reached IS NULL OR reached = 1);
PRAGMA user_version = 1;
)";

// How long one try of the journal's writer waits for another connection's lock: it then
// tries again, refusing each entry at its own deadline rather than all after one wait.
constexpr std::chrono::milliseconds kWriterLockWait{50};

constexpr const char* kColumns =
    "SELECT id, operation, correlation_id, request_ids, amount, currency, body_sha256, recorded_at, reached, "
    "status_code, error_domain, error_code, answer_ids, completed_at, settled_at, settle_note FROM attempt ";

std::int64_t millis(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

Clock::time_point fromMillis(std::int64_t ms) { return Clock::time_point(std::chrono::milliseconds(ms)); }

Dictionary idsDictionary(const std::map<std::string, std::string>& ids) {
    Dictionary d;
    for (const auto& [name, value] : ids) d.set(name, Value(value));
    return d;
}

std::string idsText(const std::map<std::string, std::string>& ids) {
    return JSONSerialization::dataWithJSONObject(Value(idsDictionary(ids)), false);
}

std::map<std::string, std::string> idsFrom(const std::optional<std::string>& text) {
    std::map<std::string, std::string> ids;
    if (!text) return ids;
    Parsed<Value> parsed = JSONSerialization::JSONObjectWithData(*text);
    if (!parsed.value || !parsed.value->isDictionary()) return ids;
    for (const DictionaryEntry& e : parsed.value->asDictionary()) {
        if (std::optional<std::string_view> v = e.value().stringValue()) ids.emplace(e.key(), *v);
    }
    return ids;
}

JournalEntry entryFrom(const Statement& row) {
    JournalEntry e;
    e.id = row.integer(0).value_or(0);
    e.operation = row.text(1).value_or("");
    e.correlationId = row.text(2).value_or("");
    e.requestIds = idsFrom(row.text(3));
    e.amount = row.real(4);
    e.currency = row.text(5);
    e.bodyDigest = row.text(6).value_or("");
    e.recordedAt = fromMillis(row.integer(7).value_or(0));
    // A value this library never writes reads as unknown: the entry stays for the host to look at.
    const std::optional<std::int64_t> r = row.integer(8);
    if (r && *r >= 0 && *r <= static_cast<std::int64_t>(Reached::Yes)) e.reached = static_cast<Reached>(*r);
    e.statusCode = static_cast<long>(row.integer(9).value_or(0));
    e.errorDomain = row.text(10);
    e.errorCode = row.integer(11);
    e.answerIds = idsFrom(row.text(12));
    if (std::optional<std::int64_t> t = row.integer(13)) e.completedAt = fromMillis(*t);
    if (std::optional<std::int64_t> t = row.integer(14)) e.settledAt = fromMillis(*t);
    e.settleNote = row.text(15).value_or("");
    return e;
}

class SQLiteJournal final : public Journal, public detail::BatchJournal {
public:
    SQLiteJournal(const std::string& path, const JournalOptions& options)
        : db_(path, detail::DatabaseOptions{options.busyTimeout, options.maxBytes}),
          path_(path),
          busyTimeout_(options.busyTimeout) {
        std::int64_t version = schemaVersion();
        if (version == 0) {
            // Made under the write lock, so that two processes opening a new file make it once.
            db_.execute("BEGIN IMMEDIATE");
            try {
                version = schemaVersion();
                if (version == 0) {
                    Statement tables = db_.prepare("SELECT count(*) FROM sqlite_master");
                    if (tables.step() && tables.integer(0).value_or(0) != 0) {
                        throw JournalError(path_ + ": a database, but not an Orvalis journal");
                    }
                    db_.execute(kSchema);
                    version = kSchemaVersion;
                }
                db_.execute("COMMIT");
            } catch (...) {
                db_.execute("ROLLBACK");
                throw;
            }
        }
        if (version != kSchemaVersion) {
            throw JournalError(path_ + ": journal schema " + std::to_string(version) + ", this library knows " +
                               std::to_string(kSchemaVersion) + " (made by a newer Orvalis?)");
        }
    }

    std::int64_t recordAttempt(const JournalEntry& e) override {
        std::int64_t id = 0;
        committed([&] { id = insert(e); });
        return id;
    }

    void recordOutcome(std::int64_t id, const JournalOutcome& o) override {
        committed([&] { update(id, o); });
    }

    std::vector<std::int64_t> recordAttempts(const std::vector<JournalEntry>& entries) override {
        std::vector<std::int64_t> ids;
        briefly([&] {
            ids.clear();
            for (const JournalEntry& e : entries) ids.push_back(insert(e));
        });
        return ids;
    }

    void recordOutcomes(const std::vector<std::pair<std::int64_t, JournalOutcome>>& outcomes) override {
        briefly([&] {
            for (const auto& [id, o] : outcomes) update(id, o);
        });
    }

    std::chrono::milliseconds busyTimeout() const noexcept override { return busyTimeout_; }

    std::vector<JournalEntry> unsettled() override {
        return select("WHERE settled_at IS NULL AND (reached IS NULL OR reached = 1) ORDER BY id", [](Statement&) {});
    }

    std::optional<JournalEntry> entry(std::int64_t id) override {
        std::vector<JournalEntry> found = select("WHERE id = ?", [id](Statement& s) { s.bind(1, id); });
        if (found.empty()) return std::nullopt;
        return std::move(found.front());
    }

    std::vector<JournalEntry> entries(std::int64_t afterId, std::size_t limit) override {
        return select("WHERE id > ? ORDER BY id LIMIT ?", [&](Statement& s) {
            s.bind(1, afterId).bind(2, static_cast<std::int64_t>(std::min<std::size_t>(limit, INT64_MAX)));
        });
    }

    bool settle(std::int64_t id, const std::string& note) override {
        std::lock_guard lock(mutex_);
        return guarded([&] {
            db_.prepare("UPDATE attempt SET settled_at = ?, settle_note = ? WHERE id = ?")
                .bind(1, millis(Clock::now()))
                .bind(2, note)
                .bind(3, id)
                .step();
            return db_.changes() > 0;
        });
    }

private:
    std::int64_t insert(const JournalEntry& e) {
        db_.prepare(
               "INSERT INTO attempt (operation, correlation_id, request_ids, amount, currency, body_sha256, "
               "recorded_at) VALUES (?, ?, ?, ?, ?, ?, ?)")
            .bind(1, e.operation)
            .bind(2, e.correlationId)
            .bind(3, idsText(e.requestIds))
            .bind(4, e.amount)
            .bind(5, e.currency)
            .bind(6, e.bodyDigest)
            .bind(7, millis(e.recordedAt))
            .step();
        return db_.lastInsertId();
    }

    void update(std::int64_t id, const JournalOutcome& o) {
        db_.prepare(
               "UPDATE attempt SET reached = ?, status_code = ?, error_domain = ?, error_code = ?, "
               "answer_ids = ?, completed_at = ? WHERE id = ?")
            .bind(1, static_cast<std::int64_t>(o.reached))
            .bind(2, static_cast<std::int64_t>(o.statusCode))
            .bind(3, o.errorDomain)
            .bind(4, o.errorCode)
            .bind(5, idsText(o.answerIds))
            .bind(6, millis(Clock::now()))
            .bind(7, id)
            .step();
    }

    // The writer's one try: work in one committed transaction, waiting only briefly for
    // another connection's lock (JournalBusy then, nothing written).
    void briefly(const std::function<void()>& work) {
        std::lock_guard lock(mutex_);
        db_.setBusyTimeout(kWriterLockWait);
        const std::exception_ptr failure = transaction(work);
        db_.setBusyTimeout(busyTimeout_);
        if (!failure) return;
        try {
            std::rethrow_exception(failure);
        } catch (const StorageError& e) {
            if (e.busy()) throw detail::JournalBusy(e.what());
            throw JournalError(e.what());
        } catch (const JSONSerializationError& e) {
            throw JournalError(path_ + ": an id that is not UTF-8 text: " + e.what());
        }
    }

    // One write waiting for its transaction to be committed.
    struct Pending {
        const std::function<void()>* work;
        std::exception_ptr failure;
        bool done = false;
    };

    // Runs work in a transaction that is on disk when this returns. Writes that arrive together share
    // one transaction, and so one sync: with many payments in flight each still waits for its own entry
    // to be durable, but not for the syncs of all the others in turn. A batch that fails fails for all.
    void committed(const std::function<void()>& work) {
        Pending mine{&work, nullptr, false};
        std::unique_lock lock(queueMutex_);
        queue_.push_back(&mine);
        while (!mine.done) {
            if (committing_) {
                turn_.wait(lock);
                continue;
            }
            committing_ = true;
            std::vector<Pending*> batch;
            batch.swap(queue_);
            lock.unlock();
            const std::exception_ptr failure = commit(batch);
            lock.lock();
            for (Pending* p : batch) p->failure = failure, p->done = true;
            committing_ = false;
            turn_.notify_all();
        }
        lock.unlock();
        if (mine.failure) guarded([&]() -> int { std::rethrow_exception(mine.failure); });
    }

    std::exception_ptr commit(const std::vector<Pending*>& batch) noexcept {
        std::lock_guard lock(mutex_);
        return transaction([&] {
            for (Pending* p : batch) (*p->work)();
        });
    }

    // work in one transaction, committed (on disk) when no failure comes back. The connection's owner locks.
    std::exception_ptr transaction(const std::function<void()>& work) noexcept {
        try {
            db_.execute("BEGIN IMMEDIATE");
        } catch (...) {
            return std::current_exception();
        }
        try {
            work();
            db_.execute("COMMIT");
            return nullptr;
        } catch (...) {
            const std::exception_ptr failure = std::current_exception();
            try {
                db_.execute("ROLLBACK");
            } catch (...) {
                // SQLite rolled back already (a full disk or an I/O error ends the transaction).
            }
            return failure;
        }
    }

    std::int64_t schemaVersion() {
        Statement version = db_.prepare("PRAGMA user_version");
        return version.step() ? version.integer(0).value_or(0) : 0;
    }

    // The store's failures reach hosts as JournalError, whose text names the file.
    template <class Body>
    std::invoke_result_t<Body> guarded(Body&& body) {
        try {
            return body();
        } catch (const StorageError& e) {
            throw JournalError(e.what());
        } catch (const JSONSerializationError& e) {
            throw JournalError(path_ + ": an id that is not UTF-8 text: " + e.what());
        }
    }

    template <class Bind>
    std::vector<JournalEntry> select(const std::string& where, Bind&& bind) {
        std::lock_guard lock(mutex_);
        return guarded([&] {
            Statement s = db_.prepare(kColumns + where);
            bind(s);
            std::vector<JournalEntry> rows;
            while (s.step()) rows.push_back(entryFrom(s));
            return rows;
        });
    }

    std::mutex mutex_;       // one connection, one user at a time
    std::mutex queueMutex_;  // guards the writes waiting to be committed
    std::condition_variable turn_;
    std::vector<Pending*> queue_;
    bool committing_ = false;
    Database db_;
    std::string path_;
    std::chrono::milliseconds busyTimeout_;
};

std::string isoTime(Clock::time_point t) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(t);
    const auto day = floor<days>(ms);
    const year_month_day date(day);
    const hh_mm_ss time(ms - day);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

Value optionalTime(const std::optional<Clock::time_point>& t) { return t ? Value(isoTime(*t)) : Value(nullptr); }

}  // namespace

bool JournalEntry::unsettled() const noexcept { return !settledAt && (!reached || *reached == Reached::Maybe); }

Journal::~Journal() = default;

std::shared_ptr<Journal> openJournal(const std::string& path, const JournalOptions& options) {
    if (path.empty()) throw JournalError("no journal path given");
    try {
        return std::make_shared<SQLiteJournal>(path, options);
    } catch (const StorageError& e) {
        throw JournalError(e.what());
    }
}

Dictionary journalEntryDictionary(const JournalEntry& e) {
    static constexpr const char* kReached[] = {"no", "maybe", "yes"};
    Dictionary d;
    d.set("id", Value(e.id));
    d.set("operation", Value(e.operation));
    d.set("correlationId", Value(e.correlationId));
    d.set("requestIds", Value(idsDictionary(e.requestIds)));
    d.set("amount", e.amount ? Value(*e.amount) : Value(nullptr));
    d.set("currency", e.currency ? Value(*e.currency) : Value(nullptr));
    d.set("bodySha256", Value(e.bodyDigest));
    d.set("recordedAt", Value(isoTime(e.recordedAt)));
    d.set("reached", e.reached ? Value(kReached[static_cast<int>(*e.reached)]) : Value(nullptr));
    d.set("statusCode", Value(static_cast<std::int64_t>(e.statusCode)));
    d.set("errorDomain", e.errorDomain ? Value(*e.errorDomain) : Value(nullptr));
    d.set("errorCode", e.errorCode ? Value(*e.errorCode) : Value(nullptr));
    d.set("answerIds", Value(idsDictionary(e.answerIds)));
    d.set("completedAt", optionalTime(e.completedAt));
    d.set("settledAt", optionalTime(e.settledAt));
    d.set("settleNote", Value(e.settleNote));
    d.set("unsettled", Value(e.unsettled()));
    return d;
}

}  // namespace orvalis
