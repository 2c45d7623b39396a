#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Storage/detail/PostgresConnection.h>
#include <Orvalis/Foundation/Storage/detail/SQLiteDatabase.h>
#include <Orvalis/ServiceInfrastructure/Journal.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalStores.h>
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

// The schema this library writes (PRAGMA user_version), one migration per version; a newer one is refused.
constexpr const char* kMigrations[] = {
    R"(CREATE TABLE attempt (
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
)",
    // Instances: who recorded each entry, and when each one was last seen alive.
    R"(ALTER TABLE attempt ADD COLUMN instance TEXT NOT NULL DEFAULT '';
CREATE TABLE instance (id TEXT PRIMARY KEY, started_at INTEGER NOT NULL, seen_at INTEGER NOT NULL);
CREATE INDEX attempt_correlation ON attempt(correlation_id);
)",
};
constexpr std::int64_t kSchemaVersion = std::size(kMigrations);

std::string selectFrom() { return std::string("SELECT ") + detail::kEntryColumns + " FROM attempt a "; }

// How long one try of the journal's writer waits for another connection's lock: it then
// tries again, refusing each entry at its own deadline rather than all after one wait.
constexpr std::chrono::milliseconds kWriterLockWait{50};

using detail::fromMillis;
using detail::idsFrom;
using detail::idsText;
using detail::millis;

Dictionary idsDictionary(const std::map<std::string, std::string>& ids) {
    Dictionary d;
    for (const auto& [name, value] : ids) d.set(name, Value(value));
    return d;
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
    e.reached = detail::reachedFrom(row.integer(8));
    e.statusCode = static_cast<long>(row.integer(9).value_or(0));
    e.errorDomain = row.text(10);
    e.errorCode = row.integer(11);
    e.answerIds = idsFrom(row.text(12));
    if (std::optional<std::int64_t> t = row.integer(13)) e.completedAt = fromMillis(*t);
    if (std::optional<std::int64_t> t = row.integer(14)) e.settledAt = fromMillis(*t);
    e.settleNote = row.text(15).value_or("");
    return e;
}

std::int64_t schemaVersion(Database& db) {
    Statement version = db.prepare("PRAGMA user_version");
    return version.step() ? version.integer(0).value_or(0) : 0;
}

// Every step from version to the latest, and the version it leaves.
void migrate(Database& db, std::int64_t version) {
    for (; version >= 0 && version < kSchemaVersion; ++version) db.execute(kMigrations[version]);
    db.execute("PRAGMA user_version = " + std::to_string(version));
}

// A missing file becomes a journal; a file found is only read until it shows it is one, so that
// another program's database, or an empty file, is refused as it was given.
detail::DatabaseOptions databaseOptions(const std::string& path, const JournalOptions& options) {
    detail::DatabaseOptions database{options.busyTimeout, options.maxBytes, {}, {}};
    database.make = [](Database& db) {
        db.execute("BEGIN");
        migrate(db, 0);
        db.execute("COMMIT");
    };
    database.admit = [path](Database& db) {
        const std::int64_t version = schemaVersion(db);
        if (version > kSchemaVersion) {
            throw JournalError(path + ": journal schema " + std::to_string(version) + ", this library knows " +
                               std::to_string(kSchemaVersion) + " (made by a newer Orvalis?)");
        }
        Statement tables = db.prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'attempt'");
        if (version >= 1 && tables.step() && tables.integer(0) == 1) return;
        Statement pages = db.prepare("PRAGMA page_count");
        if (pages.step() && pages.integer(0).value_or(0) == 0) {
            throw JournalError(path + ": an empty file, not an Orvalis journal (left as it is)");
        }
        throw JournalError(path + ": a database, but not an Orvalis journal (left as it is)");
    };
    return database;
}

class SQLiteJournal final : public Journal, public detail::BatchJournal, public detail::FleetJournal {
public:
    SQLiteJournal(const std::string& path, const JournalOptions& options)
        : db_(path, databaseOptions(path, options)), path_(path), busyTimeout_(options.busyTimeout) {
        if (schemaVersion(db_) == kSchemaVersion) return;
        // An older journal is upgraded under the write lock, so that two processes opening it do it once.
        db_.execute("BEGIN IMMEDIATE");
        try {
            const std::int64_t version = schemaVersion(db_);
            if (version < kSchemaVersion) migrate(db_, version);
            db_.execute("COMMIT");
        } catch (...) {
            db_.execute("ROLLBACK");
            throw;
        }
    }

    std::vector<InstanceEntry> find(const JournalQuery& query) override {
        const std::string sql =
            detail::fleetSelect(query, "attempt", "instance", std::to_string(millis(Clock::now())), "?1");
        std::lock_guard lock(mutex_);
        return guarded([&] {
            Statement s = db_.prepare(sql);
            if (query.instance) s.bind(1, *query.instance);
            std::vector<InstanceEntry> rows;
            while (s.step()) rows.push_back({entryFrom(s), s.text(16).value_or(""), s.integer(17).value_or(0) != 0});
            return rows;
        });
    }

    SettleResult settleOnce(std::int64_t id, const std::string& note) override {
        std::lock_guard lock(mutex_);
        return guarded([&] {
            db_.prepare("UPDATE attempt SET settled_at = ?, settle_note = ? WHERE id = ? AND settled_at IS NULL")
                .bind(1, millis(Clock::now()))
                .bind(2, note)
                .bind(3, id)
                .step();
            if (db_.changes() > 0) return SettleResult::Settled;
            Statement there = db_.prepare("SELECT 1 FROM attempt WHERE id = ?");
            there.bind(1, id);
            return there.step() ? SettleResult::AlreadySettled : SettleResult::NoSuchEntry;
        });
    }

    std::size_t copyIn(const std::vector<InstanceEntry>& entries) override {
        std::size_t added = 0;
        committed([&] {
            added = 0;
            for (const InstanceEntry& found : entries) {
                const JournalEntry& e = found.entry;
                Statement there = db_.prepare(
                    "SELECT id FROM attempt WHERE instance = ? AND correlation_id = ? AND recorded_at = ?");
                there.bind(1, found.instance).bind(2, e.correlationId).bind(3, millis(e.recordedAt));
                const bool present = there.step();
                const std::int64_t id = present ? there.integer(0).value_or(0) : insert(e, found.instance);
                added += present ? 0 : 1;
                completeCopy(id, e);
            }
        });
        return added;
    }

    std::int64_t recordAttempt(const JournalEntry& e) override {
        heartbeat_.start();
        const std::string instance = detail::currentInstance().id;
        std::int64_t id = 0;
        committed([&] { id = insert(e, instance); });
        return id;
    }

    void recordOutcome(std::int64_t id, const JournalOutcome& o) override {
        committed([&] { update(id, o); });
    }

    std::vector<std::int64_t> recordAttempts(const std::vector<JournalEntry>& entries) override {
        heartbeat_.start();
        const std::string instance = detail::currentInstance().id;
        std::vector<std::int64_t> ids;
        briefly([&] {
            ids.clear();
            for (const JournalEntry& e : entries) ids.push_back(insert(e, instance));
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

    std::int64_t insert(const JournalEntry& e, const std::string& instance) {
        db_.prepare(
               "INSERT INTO attempt (operation, correlation_id, request_ids, amount, currency, body_sha256, "
               "recorded_at, instance) VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
            .bind(1, e.operation)
            .bind(2, e.correlationId)
            .bind(3, idsText(e.requestIds))
            .bind(4, e.amount)
            .bind(5, e.currency)
            .bind(6, e.bodyDigest)
            .bind(7, millis(e.recordedAt))
            .bind(8, instance)
            .step();
        return db_.lastInsertId();
    }

    // What a copy knows and this store does not yet: the outcome, the settlement.
    void completeCopy(std::int64_t id, const JournalEntry& e) {
        if (e.reached) {
            db_.prepare(
                   "UPDATE attempt SET reached = ?, status_code = ?, error_domain = ?, error_code = ?, "
                   "answer_ids = ?, completed_at = ? WHERE id = ? AND reached IS NULL")
                .bind(1, static_cast<std::int64_t>(*e.reached))
                .bind(2, static_cast<std::int64_t>(e.statusCode))
                .bind(3, e.errorDomain)
                .bind(4, e.errorCode)
                .bind(5, idsText(e.answerIds))
                .bind(6, e.completedAt ? std::optional(millis(*e.completedAt)) : std::nullopt)
                .bind(7, id)
                .step();
        }
        if (e.settledAt) {
            db_.prepare("UPDATE attempt SET settled_at = ?, settle_note = ? WHERE id = ? AND settled_at IS NULL")
                .bind(1, millis(*e.settledAt))
                .bind(2, e.settleNote)
                .bind(3, id)
                .step();
        }
    }

    // A beat never waits out another connection's lock while it holds the connection: the
    // writer's entries would wait behind it past their own deadlines. A beat missed comes again.
    void beat(const detail::InstanceName& instance) {
        const std::int64_t now = millis(Clock::now());
        std::lock_guard lock(mutex_);
        db_.setBusyTimeout(kWriterLockWait);
        try {
            db_.prepare(
                   "INSERT INTO instance (id, started_at, seen_at) VALUES (?, ?, ?) "
                   "ON CONFLICT(id) DO UPDATE SET seen_at = excluded.seen_at")
                .bind(1, instance.id)
                .bind(2, now)
                .bind(3, now)
                .step();
        } catch (...) {
            db_.setBusyTimeout(busyTimeout_);
            throw;
        }
        db_.setBusyTimeout(busyTimeout_);
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
            Statement s = db_.prepare(selectFrom() + where);
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
    detail::Heartbeat heartbeat_{[this](const detail::InstanceName& instance) { guarded([&] { beat(instance); }); }};
};

using detail::isoTime;

Value optionalTime(const std::optional<Clock::time_point>& t) { return t ? Value(isoTime(*t)) : Value(nullptr); }

}  // namespace

bool JournalEntry::unsettled() const noexcept { return !settledAt && (!reached || *reached == Reached::Maybe); }

Journal::~Journal() = default;

std::shared_ptr<Journal> openJournal(const std::string& path, const JournalOptions& options) {
    if (path.empty()) throw JournalError("no journal path given");
    if (detail::isPostgresConnectionString(path)) return detail::openPostgresJournal(path, options);
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
