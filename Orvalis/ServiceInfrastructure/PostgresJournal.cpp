#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Storage/detail/PostgresConnection.h>
#include <Orvalis/ServiceInfrastructure/Journal.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalBatch.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalStores.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <type_traits>

// The PostgreSQL journal: the SQLite journal's table in a database that every instance of a fleet
// reaches, so that any of them can reconcile what another left unsettled. Each statement is its own
// transaction (several entries in one INSERT), committed with synchronous_commit on.
namespace orvalis::detail {

namespace {

using Clock = std::chrono::system_clock;
using Parameters = std::vector<std::optional<std::string>>;

// One migration per schema version, run in order in one transaction under an advisory lock.
constexpr const char* kMigrations[] = {
    R"(CREATE TABLE orvalis_journal_attempt (
  id bigserial PRIMARY KEY,
  operation text NOT NULL,
  correlation_id text NOT NULL,
  request_ids text NOT NULL,
  amount double precision,
  currency text,
  body_sha256 text NOT NULL,
  recorded_at bigint NOT NULL,
  reached smallint,
  status_code bigint NOT NULL DEFAULT 0,
  error_domain text,
  error_code bigint,
  answer_ids text NOT NULL DEFAULT '{}',
  completed_at bigint,
  settled_at bigint,
  settle_note text NOT NULL DEFAULT '');
CREATE INDEX orvalis_journal_attempt_open ON orvalis_journal_attempt(id)
  WHERE settled_at IS NULL AND (reached IS NULL OR reached = 1);
)",
    R"(ALTER TABLE orvalis_journal_attempt ADD COLUMN instance text NOT NULL DEFAULT '';
CREATE TABLE orvalis_journal_instance (id text PRIMARY KEY, started_at bigint NOT NULL, seen_at bigint NOT NULL);
CREATE INDEX orvalis_journal_attempt_correlation ON orvalis_journal_attempt(correlation_id);
)",
};
constexpr std::int64_t kSchemaVersion = std::size(kMigrations);
// Serialises making and upgrading the tables between processes ("Orvl").
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(1332901484)";
// The database's clock, so that instances on machines whose clocks differ agree on who is stale.
constexpr const char* kNow = "(extract(epoch from clock_timestamp()) * 1000)::bigint";
constexpr std::size_t kRowsPerStatement = 1000;  // 8 parameters each, below the protocol's 65535

std::string text(std::int64_t n) { return std::to_string(n); }

std::optional<std::string> text(std::optional<double> n) {
    if (!n) return std::nullopt;
    char digits[32];
    return std::string(digits, std::to_chars(digits, digits + sizeof digits, *n).ptr);
}

std::optional<std::string> text(std::optional<std::int64_t> n) {
    return n ? std::optional(std::to_string(*n)) : std::nullopt;
}

JournalEntry entryFrom(const PostgresRows& rows, std::size_t r) {
    JournalEntry e;
    e.id = rows.integer(r, 0).value_or(0);
    e.operation = rows.text(r, 1).value_or("");
    e.correlationId = rows.text(r, 2).value_or("");
    e.requestIds = idsFrom(rows.text(r, 3));
    e.amount = rows.real(r, 4);
    e.currency = rows.text(r, 5);
    e.bodyDigest = rows.text(r, 6).value_or("");
    e.recordedAt = fromMillis(rows.integer(r, 7).value_or(0));
    e.reached = reachedFrom(rows.integer(r, 8));
    e.statusCode = static_cast<long>(rows.integer(r, 9).value_or(0));
    e.errorDomain = rows.text(r, 10);
    e.errorCode = rows.integer(r, 11);
    e.answerIds = idsFrom(rows.text(r, 12));
    if (std::optional<std::int64_t> t = rows.integer(r, 13)) e.completedAt = fromMillis(*t);
    if (std::optional<std::int64_t> t = rows.integer(r, 14)) e.settledAt = fromMillis(*t);
    e.settleNote = rows.text(r, 15).value_or("");
    return e;
}

// Items handed in by several threads at once, written together: the first caller to find no write in
// progress writes every item waiting, the others wait for it. A write that fails fails for all its items.
template <class Item, class Result>
class Grouped {
public:
    template <class Write>
    Result add(const Item& item, Write&& write) {
        Pending mine{&item, {}, nullptr, false};
        std::unique_lock lock(mutex_);
        queue_.push_back(&mine);
        while (!mine.done) {
            if (writing_) {
                turn_.wait(lock);
                continue;
            }
            writing_ = true;
            std::vector<Pending*> batch;
            batch.swap(queue_);
            lock.unlock();
            std::vector<Item> items;
            for (Pending* p : batch) items.push_back(*p->item);
            std::vector<Result> results;
            std::exception_ptr failure;
            try {
                results = write(items);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            for (std::size_t i = 0; i < batch.size(); ++i) {
                batch[i]->failure = failure;
                if (!failure) batch[i]->result = results.at(i);
                batch[i]->done = true;
            }
            writing_ = false;
            turn_.notify_all();
        }
        lock.unlock();
        if (mine.failure) std::rethrow_exception(mine.failure);
        return mine.result;
    }

private:
    struct Pending {
        const Item* item;
        Result result;
        std::exception_ptr failure;
        bool done;
    };
    std::mutex mutex_;
    std::condition_variable turn_;
    std::vector<Pending*> queue_;
    bool writing_ = false;
};

class PostgresJournal final : public Journal, public BatchJournal, public FleetJournal {
public:
    PostgresJournal(const std::string& connectionString, const JournalOptions& options)
        : db_(connectionString, options.busyTimeout), busyTimeout_(options.busyTimeout) {
        guarded([&] { migrate(); });
    }

    std::chrono::milliseconds busyTimeout() const noexcept override { return busyTimeout_; }

    // Payments in flight each call these from their own thread: calls that arrive while a statement runs
    // go together in the next one (one round trip, one commit), each still waiting for its own.
    std::int64_t recordAttempt(const JournalEntry& entry) override {
        return attempts_.add(entry, [this](const std::vector<JournalEntry>& all) { return recordAttempts(all); });
    }

    std::vector<std::int64_t> recordAttempts(const std::vector<JournalEntry>& entries) override {
        heartbeat_.start();
        const std::string instance = currentInstance().id;
        std::lock_guard lock(mutex_);
        return guarded([&] {
            std::vector<std::int64_t> ids;
            transaction(entries.size() > kRowsPerStatement, [&] {
                for (std::size_t from = 0; from < entries.size(); from += kRowsPerStatement) {
                    const std::size_t to = std::min(entries.size(), from + kRowsPerStatement);
                    std::string sql =
                        "INSERT INTO orvalis_journal_attempt (operation, correlation_id, request_ids, amount, "
                        "currency, body_sha256, recorded_at, instance) VALUES ";
                    Parameters p;
                    for (std::size_t i = from; i < to; ++i) {
                        const JournalEntry& e = entries[i];
                        const std::size_t n = p.size();
                        sql += (i == from ? "(" : ", (");
                        for (int k = 1; k <= 8; ++k) sql += "$" + std::to_string(n + k) + (k < 8 ? ", " : ")");
                        p.insert(p.end(), {e.operation, e.correlationId, idsText(e.requestIds), text(e.amount),
                                           e.currency, e.bodyDigest, text(millis(e.recordedAt)), instance});
                    }
                    const PostgresRows rows = db_.run(sql + " RETURNING id", p);
                    // The sequence numbers the rows in the order of VALUES.
                    std::vector<std::int64_t> chunk;
                    for (std::size_t r = 0; r < rows.size(); ++r) chunk.push_back(rows.integer(r, 0).value_or(0));
                    std::sort(chunk.begin(), chunk.end());
                    ids.insert(ids.end(), chunk.begin(), chunk.end());
                }
            });
            if (ids.size() != entries.size()) throw PostgresError(db_.name() + ": an INSERT lost rows", false, "");
            return ids;
        });
    }

    void recordOutcome(std::int64_t id, const JournalOutcome& outcome) override {
        outcomes_.add({id, outcome}, [this](const std::vector<std::pair<std::int64_t, JournalOutcome>>& all) {
            recordOutcomes(all);
            return std::vector<int>(all.size());
        });
    }

    void recordOutcomes(const std::vector<std::pair<std::int64_t, JournalOutcome>>& outcomes) override {
        if (outcomes.empty()) return;
        const std::string completed = text(millis(Clock::now()));
        std::lock_guard lock(mutex_);
        guarded([&] {
            transaction(outcomes.size() > kRowsPerStatement, [&] {
                for (std::size_t from = 0; from < outcomes.size(); from += kRowsPerStatement) {
                    const std::size_t to = std::min(outcomes.size(), from + kRowsPerStatement);
                    std::string sql =
                        "UPDATE orvalis_journal_attempt AS a SET reached = v.reached, status_code = "
                        "v.status_code, error_domain = v.error_domain, error_code = v.error_code, "
                        "answer_ids = v.answer_ids, completed_at = v.completed_at FROM (VALUES ";
                    Parameters p;
                    for (std::size_t i = from; i < to; ++i) {
                        const auto& [id, o] = outcomes[i];
                        auto at = [&](int k) { return "$" + std::to_string(p.size() + k); };
                        sql += std::string(i == from ? "" : ", ") + "(" + at(1) + "::bigint, " + at(2) +
                               "::smallint, " + at(3) + "::bigint, " + at(4) + "::text, " + at(5) + "::bigint, " +
                               at(6) + "::text, " + at(7) + "::bigint)";
                        p.insert(p.end(), {text(id), text(static_cast<std::int64_t>(o.reached)),
                                           text(static_cast<std::int64_t>(o.statusCode)), o.errorDomain,
                                           text(o.errorCode), idsText(o.answerIds), completed});
                    }
                    db_.run(sql +
                                ") AS v(id, reached, status_code, error_domain, error_code, answer_ids, completed_at)"
                                " WHERE a.id = v.id",
                            p);
                }
            });
        });
    }

    std::vector<JournalEntry> unsettled() override {
        return select("WHERE settled_at IS NULL AND (reached IS NULL OR reached = 1) ORDER BY id", {});
    }

    std::optional<JournalEntry> entry(std::int64_t id) override {
        std::vector<JournalEntry> found = select("WHERE id = $1", {text(id)});
        if (found.empty()) return std::nullopt;
        return std::move(found.front());
    }

    std::vector<JournalEntry> entries(std::int64_t afterId, std::size_t limit) override {
        return select("WHERE id > $1 ORDER BY id LIMIT $2",
                      {text(afterId), text(static_cast<std::int64_t>(std::min<std::size_t>(limit, INT64_MAX)))});
    }

    bool settle(std::int64_t id, const std::string& note) override {
        std::lock_guard lock(mutex_);
        return guarded([&] {
            return db_.run("UPDATE orvalis_journal_attempt SET settled_at = $1, settle_note = $2 WHERE id = $3",
                           {text(millis(Clock::now())), note, text(id)})
                       .changed() > 0;
        });
    }

    std::vector<InstanceEntry> find(const JournalQuery& query) override {
        const std::string sql = fleetSelect(query, "orvalis_journal_attempt", "orvalis_journal_instance", kNow, "$1");
        Parameters p;
        if (query.instance) p.push_back(*query.instance);
        std::lock_guard lock(mutex_);
        return guarded([&] {
            const PostgresRows rows = db_.run(sql, p);
            std::vector<InstanceEntry> found;
            for (std::size_t r = 0; r < rows.size(); ++r) {
                found.push_back({entryFrom(rows, r), rows.text(r, 16).value_or(""), rows.integer(r, 17) == 1});
            }
            return found;
        });
    }

    SettleResult settleOnce(std::int64_t id, const std::string& note) override {
        std::lock_guard lock(mutex_);
        return guarded([&] {
            // Of two sessions updating the row at once, the second waits for the first, then finds it settled.
            if (db_.run("UPDATE orvalis_journal_attempt SET settled_at = $1, settle_note = $2 "
                        "WHERE id = $3 AND settled_at IS NULL",
                        {text(millis(Clock::now())), note, text(id)})
                    .changed() > 0) {
                return SettleResult::Settled;
            }
            return db_.run("SELECT 1 FROM orvalis_journal_attempt WHERE id = $1", {text(id)}).size() > 0
                       ? SettleResult::AlreadySettled
                       : SettleResult::NoSuchEntry;
        });
    }

    std::size_t copyIn(const std::vector<InstanceEntry>& entries) override {
        std::lock_guard lock(mutex_);
        return guarded([&] {
            std::size_t added = 0;
            transaction(true, [&] {
                db_.run(kSchemaLock);  // two copies at once add an entry once
                for (const InstanceEntry& found : entries) {
                    const JournalEntry& e = found.entry;
                    PostgresRows there = db_.run(
                        "SELECT id FROM orvalis_journal_attempt WHERE instance = $1 AND correlation_id = $2 "
                        "AND recorded_at = $3",
                        {found.instance, e.correlationId, text(millis(e.recordedAt))});
                    if (there.size() == 0) {
                        ++added;
                        there = db_.run(
                            "INSERT INTO orvalis_journal_attempt (operation, correlation_id, request_ids, amount, "
                            "currency, body_sha256, recorded_at, instance) VALUES ($1, $2, $3, $4, $5, $6, $7, $8) "
                            "RETURNING id",
                            {e.operation, e.correlationId, idsText(e.requestIds), text(e.amount), e.currency,
                             e.bodyDigest, text(millis(e.recordedAt)), found.instance});
                    }
                    const std::string id = text(there.integer(0, 0).value_or(0));
                    if (e.reached) {
                        db_.run(
                            "UPDATE orvalis_journal_attempt SET reached = $1, status_code = $2, error_domain = $3, "
                            "error_code = $4, answer_ids = $5, completed_at = $6 WHERE id = $7 AND reached IS NULL",
                            {text(static_cast<std::int64_t>(*e.reached)), text(static_cast<std::int64_t>(e.statusCode)),
                             e.errorDomain, text(e.errorCode), idsText(e.answerIds),
                             e.completedAt ? std::optional(text(millis(*e.completedAt))) : std::nullopt, id});
                    }
                    if (e.settledAt) {
                        db_.run(
                            "UPDATE orvalis_journal_attempt SET settled_at = $1, settle_note = $2 "
                            "WHERE id = $3 AND settled_at IS NULL",
                            {text(millis(*e.settledAt)), e.settleNote, id});
                    }
                }
            });
            return added;
        });
    }

private:
    void migrate() {
        std::int64_t version = schemaVersion();
        if (version < kSchemaVersion) {
            // The lock is taken before the transaction begins: a transaction that waited for it inside would
            // still see the tables as missing (the catalog it read before waiting), and make them again.
            db_.run("SELECT pg_advisory_lock(1332901485)");
            try {
                transaction(true, [&] {
                    version = schemaVersion();
                    if (version == 0)
                        db_.script(
                            "CREATE TABLE orvalis_journal_schema (version integer NOT NULL);"
                            "INSERT INTO orvalis_journal_schema VALUES (0)");
                    for (; version >= 0 && version < kSchemaVersion; ++version) db_.script(kMigrations[version]);
                    db_.run("UPDATE orvalis_journal_schema SET version = $1", {text(version)});
                });
            } catch (...) {
                db_.disconnect();  // which releases the lock
                throw;
            }
            db_.run("SELECT pg_advisory_unlock(1332901485)");
        }
        if (version != kSchemaVersion) {
            throw JournalError(db_.name() + ": journal schema " + std::to_string(version) + ", this library knows " +
                               std::to_string(kSchemaVersion) + " (made by a newer Orvalis?)");
        }
    }

    std::int64_t schemaVersion() {
        const PostgresRows tables = db_.run(
            "SELECT to_regclass('orvalis_journal_schema') IS NOT NULL, to_regclass('orvalis_journal_attempt') IS NOT "
            "NULL");
        if (tables.text(0, 0) == "t") {
            return db_.run("SELECT max(version) FROM orvalis_journal_schema").integer(0, 0).value_or(0);
        }
        if (tables.text(0, 1) == "t") throw JournalError(db_.name() + ": a journal table without its schema version");
        return 0;
    }

    // Runs body in one transaction when several statements must commit together.
    template <class Body>
    void transaction(bool several, Body&& body) {
        if (!several) return body();
        db_.script("BEGIN");
        try {
            body();
            db_.script("COMMIT");
        } catch (...) {
            try {
                db_.script("ROLLBACK");
            } catch (...) {
                db_.disconnect();  // the server rolls back what a dropped connection left open
            }
            throw;
        }
    }

    void beat(const InstanceName& instance) {
        std::lock_guard lock(mutex_);
        guarded([&] {
            db_.run(std::string("INSERT INTO orvalis_journal_instance (id, started_at, seen_at) VALUES ($1, ") + kNow +
                        ", " + kNow + ") ON CONFLICT (id) DO UPDATE SET seen_at = excluded.seen_at",
                    {instance.id});
        });
    }

    // The store's failures reach hosts as JournalError, whose text names the database (never its password).
    template <class Body>
    std::invoke_result_t<Body> guarded(Body&& body) {
        try {
            return body();
        } catch (const PostgresError& e) {
            throw JournalError(e.what());
        } catch (const JSONSerializationError& e) {
            throw JournalError(db_.name() + ": an id that is not UTF-8 text: " + e.what());
        }
    }

    std::vector<JournalEntry> select(const std::string& where, const Parameters& p) {
        std::lock_guard lock(mutex_);
        return guarded([&] {
            const PostgresRows rows =
                db_.run(std::string("SELECT ") + kEntryColumns + " FROM orvalis_journal_attempt a " + where, p);
            std::vector<JournalEntry> found;
            for (std::size_t r = 0; r < rows.size(); ++r) found.push_back(entryFrom(rows, r));
            return found;
        });
    }

    std::mutex mutex_;  // one connection, one user at a time
    Grouped<JournalEntry, std::int64_t> attempts_;
    Grouped<std::pair<std::int64_t, JournalOutcome>, int> outcomes_;
    PostgresConnection db_;
    std::chrono::milliseconds busyTimeout_;
    Heartbeat heartbeat_{[this](const InstanceName& instance) { beat(instance); }};
};

}  // namespace

std::shared_ptr<Journal> openPostgresJournal(const std::string& connectionString, const JournalOptions& options) {
    try {
        return std::make_shared<PostgresJournal>(connectionString, options);
    } catch (const PostgresError& e) {
        throw JournalError(e.what());
    }
}

}  // namespace orvalis::detail
