#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Foundation/Storage/detail/PostgresConnection.h>
#include <Orvalis/Foundation/System/detail/Process.h>
#include <Orvalis/ServiceInfrastructure/Journal.h>
#include <Orvalis/ServiceInfrastructure/detail/JournalStores.h>

#include <cstdio>

// What the library's journals share across stores: which instance writes, how it says it is alive,
// reconciliation across instances, and copying from one store to another.
namespace orvalis {

namespace detail {

namespace {

using Clock = std::chrono::system_clock;

struct InstanceSetting {
    std::mutex mutex;
    std::string id;  // "" for the default
    std::chrono::milliseconds aliveInterval{10000};
    std::int64_t defaultFor = 0;
    std::string defaultId;
};

InstanceSetting& instanceSetting() {
    static InstanceSetting setting;
    return setting;
}

Dictionary idsDictionary(const std::map<std::string, std::string>& ids) {
    Dictionary d;
    for (const auto& [name, value] : ids) d.set(name, Value(value));
    return d;
}

}  // namespace

InstanceName currentInstance() {
    InstanceSetting& s = instanceSetting();
    std::lock_guard lock(s.mutex);
    if (!s.id.empty()) return {s.id, s.aliveInterval};
    // A forked child is an instance of its own: named again once its process id differs.
    if (s.defaultFor != processId()) {
        s.defaultFor = processId();
        s.defaultId = hostName() + ":" + std::to_string(s.defaultFor) + ":" + isoTime(Clock::now());
    }
    return {s.defaultId, s.aliveInterval};
}

Heartbeat::~Heartbeat() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Heartbeat::start() {
    std::call_once(started_, [this] {
        try {
            beat_(currentInstance());
        } catch (...) {
            // The store is busy or down for now: the entry being recorded meets that itself.
        }
        thread_ = std::thread([this] {
            std::unique_lock lock(mutex_);
            while (!wake_.wait_for(lock, currentInstance().aliveInterval, [this] { return stopping_; })) {
                lock.unlock();
                try {
                    beat_(currentInstance());
                } catch (...) {
                    // The store is down for now; the next beat tries again.
                }
                lock.lock();
            }
        });
    });
}

std::int64_t millis(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

Clock::time_point fromMillis(std::int64_t ms) { return Clock::time_point(std::chrono::milliseconds(ms)); }

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

std::optional<Reached> reachedFrom(std::optional<std::int64_t> stored) {
    // A value this library never writes reads as unknown: the entry stays for the host to look at.
    if (stored && *stored >= 0 && *stored <= static_cast<std::int64_t>(Reached::Yes)) {
        return static_cast<Reached>(*stored);
    }
    return std::nullopt;
}

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

const char* const kEntryColumns =
    "a.id, a.operation, a.correlation_id, a.request_ids, a.amount, a.currency, a.body_sha256, a.recorded_at, "
    "a.reached, a.status_code, a.error_domain, a.error_code, a.answer_ids, a.completed_at, a.settled_at, "
    "a.settle_note";

std::string fleetSelect(const JournalQuery& query, const std::string& attemptTable, const std::string& instanceTable,
                        const std::string& nowMillis, const std::string& instancePlaceholder) {
    // Only numbers this function formats are written into the text; the instance id is a parameter.
    const std::string stale = "(i.seen_at IS NULL OR i.seen_at < " + nowMillis + " - " +
                              std::to_string(std::max<std::int64_t>(query.staleAfter.count(), 0)) + ")";
    std::string sql = std::string("SELECT ") + kEntryColumns + ", a.instance, CASE WHEN " + stale +
                      " THEN 1 ELSE 0 END FROM " + attemptTable + " a LEFT JOIN " + instanceTable +
                      " i ON i.id = a.instance WHERE a.id > " + std::to_string(query.afterId);
    if (query.unsettledOnly) sql += " AND a.settled_at IS NULL AND (a.reached IS NULL OR a.reached = 1)";
    if (query.instance) sql += " AND a.instance = " + instancePlaceholder;
    if (query.staleOnly) sql += " AND " + stale;
    if (query.olderThan) {
        sql += " AND a.recorded_at < " + std::to_string(millis(Clock::now()) - query.olderThan->count());
    }
    sql += " ORDER BY a.id";
    if (query.limit < static_cast<std::size_t>(INT64_MAX)) sql += " LIMIT " + std::to_string(query.limit);
    return sql;
}

}  // namespace detail

bool isJournalConnectionString(const std::string& path) noexcept { return detail::isPostgresConnectionString(path); }

bool setJournalInstance(const std::string& id, std::chrono::milliseconds aliveInterval) {
    if (id.size() > 200 || aliveInterval < std::chrono::milliseconds(10) || aliveInterval > std::chrono::hours(1))
        return false;
    for (char c : id)
        if (c < 0x20 || c > 0x7e) return false;
    detail::InstanceSetting& s = detail::instanceSetting();
    std::lock_guard lock(s.mutex);
    s.id = id;
    s.aliveInterval = aliveInterval;
    return true;
}

std::string journalInstanceId() { return detail::currentInstance().id; }

std::vector<InstanceEntry> findJournalEntries(Journal& journal, const JournalQuery& query) {
    auto* fleet = dynamic_cast<detail::FleetJournal*>(&journal);
    if (fleet == nullptr) throw JournalError("a journal of the host's own keeps no instances");
    return fleet->find(query);
}

SettleResult settleOnce(Journal& journal, std::int64_t id, const std::string& note) {
    if (auto* fleet = dynamic_cast<detail::FleetJournal*>(&journal)) return fleet->settleOnce(id, note);
    return journal.settle(id, note) ? SettleResult::Settled : SettleResult::NoSuchEntry;
}

JournalCopyCounts copyJournal(Journal& from, Journal& to) {
    auto* destination = dynamic_cast<detail::FleetJournal*>(&to);
    if (destination == nullptr) throw JournalError("copy: the destination is a journal of the host's own");
    JournalQuery page;
    page.unsettledOnly = false;
    page.limit = 500;
    JournalCopyCounts counts;
    // In pages, each added in one transaction: a copy cut short is completed by running it again.
    for (;;) {
        std::vector<InstanceEntry> entries = findJournalEntries(from, page);
        if (entries.empty()) break;
        const std::size_t added = destination->copyIn(entries);
        counts.copied += added;
        counts.present += entries.size() - added;
        page.afterId = entries.back().entry.id;
    }
    return counts;
}

Dictionary journalEntryDictionary(const InstanceEntry& e) {
    Dictionary d = journalEntryDictionary(e.entry);
    d.set("instance", Value(e.instance));
    d.set("instanceStale", Value(e.stale));
    return d;
}

}  // namespace orvalis
