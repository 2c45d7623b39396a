#pragma once

// Internal to the journal: not installed. What the library's own stores (SQLite,
// PostgreSQL) share: the instances that write them, reconciliation across
// instances, copying, and the text forms of an entry's fields.
#include <Orvalis/ServiceInfrastructure/Journal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace orvalis::detail {

/// A store of this library's own: instances, atomic settling, copying.
class FleetJournal {
public:
    virtual ~FleetJournal() = default;
    virtual std::vector<InstanceEntry> find(const JournalQuery& query) = 0;
    virtual SettleResult settleOnce(std::int64_t id, const std::string& note) = 0;
    /// Adds the entries the store lacks (same instance, correlation id and time), completes the
    /// outcome and settlement of those it has, in one transaction; returns how many it added.
    virtual std::size_t copyIn(const std::vector<InstanceEntry>& entries) = 0;
};

/// The process's instance id and alive interval (setJournalInstance).
struct InstanceName {
    std::string id;
    std::chrono::milliseconds aliveInterval;
};
InstanceName currentInstance();

/// Records that the instance is alive, every alive interval, on a thread of its own, from the
/// first start() until destroyed. beat failures are ignored (the store may be down for a while).
class Heartbeat {
public:
    explicit Heartbeat(std::function<void(const InstanceName&)> beat) : beat_(std::move(beat)) {}
    ~Heartbeat();
    /// Beats now, on the caller's thread (which must not hold a lock beat takes) when first called,
    /// then on the thread.
    void start();

private:
    std::function<void(const InstanceName&)> beat_;
    std::once_flag started_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

std::int64_t millis(std::chrono::system_clock::time_point t);
std::chrono::system_clock::time_point fromMillis(std::int64_t ms);
std::string idsText(const std::map<std::string, std::string>& ids);
std::map<std::string, std::string> idsFrom(const std::optional<std::string>& text);
/// A stored reached value (no value and unknown values read as unknown).
std::optional<Reached> reachedFrom(std::optional<std::int64_t> stored);

/// ISO 8601 UTC text with milliseconds ("2026-12-07T11:39:02.123Z").
std::string isoTime(std::chrono::system_clock::time_point t);

/// The columns every store reads an entry from, in entryColumns order, prefixed "a.".
extern const char* const kEntryColumns;

/// The SELECT of query over attemptTable (as a) joined with instanceTable (as i): the entry's columns,
/// then its instance and 1 when that instance is stale. nowMillis is the store's clock (SQL, in ms since
/// the epoch); the instance filter, when set, is parameter instancePlaceholder.
std::string fleetSelect(const JournalQuery& query, const std::string& attemptTable, const std::string& instanceTable,
                        const std::string& nowMillis, const std::string& instancePlaceholder);

/// The PostgreSQL store (PostgresJournal.cpp). Throws JournalError.
std::shared_ptr<Journal> openPostgresJournal(const std::string& connectionString, const JournalOptions& options);

}  // namespace orvalis::detail
