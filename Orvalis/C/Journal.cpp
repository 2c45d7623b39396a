// The journal of the C interface: a client's setting, and a handle to read and settle entries.
#include <Orvalis/C/detail/Bridge.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/ServiceInfrastructure/Journal.h>

#include <memory>
#include <string>

using namespace orvalis;
using orvalis::detail::guarded;
using orvalis::detail::invalid;

/// The handle of an open journal: thread-safe, like the journal.
struct orvalis_journal {
    std::shared_ptr<Journal> journal;
};

namespace {

// A journal's failure is the JOURNAL status, its text the last error.
orvalis_status journalCall(orvalis_journal* journal, auto body) {
    if (journal == nullptr) return invalid("no journal");
    return guarded([&] {
        try {
            return body(*journal->journal);
        } catch (const JournalError& e) {
            return detail::failWith(ORVALIS_ERROR_JOURNAL, e.what());
        }
    });
}

orvalis_status jsonOut(char** out, const Value& value) {
    *out = detail::copyForCaller(JSONSerialization::dataWithJSONObject(value, false));
    return ORVALIS_OK;
}

}  // namespace

extern "C" {

orvalis_status orvalis_client_config_set_journal(orvalis_client_config* config, const char* path, int all_operations) {
    if (config == nullptr) return invalid("no configuration");
    return guarded([&] {
        config->configuration.journalPath = path == nullptr ? "" : path;
        config->configuration.journalScope = all_operations != 0 ? JournalScope::AllOperations : JournalScope::Payments;
        return ORVALIS_OK;
    });
}

orvalis_status orvalis_journal_open(const char* path, orvalis_journal** journal_out) {
    if (journal_out != nullptr) *journal_out = nullptr;
    if (path == nullptr || journal_out == nullptr) return invalid("no path, or no place for the journal");
    return guarded([&] {
        try {
            *journal_out = new orvalis_journal{openJournal(path)};
        } catch (const JournalError& e) {
            return detail::failWith(ORVALIS_ERROR_JOURNAL, e.what());
        }
        return ORVALIS_OK;
    });
}

void orvalis_journal_free(orvalis_journal* journal) { delete journal; }

orvalis_status orvalis_journal_unsettled_json(orvalis_journal* journal, char** json_out) {
    if (json_out == nullptr) return invalid("no place for the text");
    *json_out = nullptr;
    return journalCall(journal, [&](Journal& j) {
        Array entries;
        for (const JournalEntry& e : j.unsettled()) entries.push_back(Value(journalEntryDictionary(e)));
        return jsonOut(json_out, Value(entries));
    });
}

orvalis_status orvalis_journal_entry_json(orvalis_journal* journal, int64_t id, char** json_out) {
    if (json_out == nullptr) return invalid("no place for the text");
    *json_out = nullptr;
    return journalCall(journal, [&](Journal& j) {
        std::optional<JournalEntry> e = j.entry(id);
        return e ? jsonOut(json_out, Value(journalEntryDictionary(*e))) : invalid("no such entry");
    });
}

orvalis_status orvalis_journal_settle(orvalis_journal* journal, int64_t id, const char* note) {
    return journalCall(journal, [&](Journal& j) {
        return j.settle(id, note == nullptr ? "" : note) ? ORVALIS_OK : invalid("no such entry");
    });
}

orvalis_status orvalis_journal_set_instance(const char* id, int64_t alive_interval_ms) {
    return guarded([&] {
        return setJournalInstance(id == nullptr ? "" : id, std::chrono::milliseconds(alive_interval_ms))
                   ? ORVALIS_OK
                   : invalid("an instance id of 1 to 200 printable characters, an interval of 10 ms to 1 h");
    });
}

orvalis_status orvalis_journal_instance_id(char** id_out) {
    if (id_out == nullptr) return invalid("no place for the text");
    *id_out = nullptr;
    return guarded([&] {
        *id_out = detail::copyForCaller(journalInstanceId());
        return ORVALIS_OK;
    });
}

orvalis_status orvalis_journal_find_json(orvalis_journal* journal, const char* instance, int64_t stale_after_ms,
                                         int flags, int64_t older_than_ms, char** json_out) {
    if (json_out == nullptr) return invalid("no place for the text");
    *json_out = nullptr;
    return journalCall(journal, [&](Journal& j) {
        JournalQuery query;
        query.unsettledOnly = (flags & ORVALIS_JOURNAL_ALL_ENTRIES) == 0;
        query.staleOnly = (flags & ORVALIS_JOURNAL_STALE_ONLY) != 0;
        if (instance != nullptr) query.instance = instance;
        if (stale_after_ms > 0) query.staleAfter = std::chrono::milliseconds(stale_after_ms);
        if (older_than_ms > 0) query.olderThan = std::chrono::milliseconds(older_than_ms);
        Array entries;
        for (const InstanceEntry& e : findJournalEntries(j, query)) entries.push_back(Value(journalEntryDictionary(e)));
        return jsonOut(json_out, Value(entries));
    });
}

orvalis_status orvalis_journal_settle_once(orvalis_journal* journal, int64_t id, const char* note, int* settled_out) {
    if (settled_out == nullptr) return invalid("no place for the outcome");
    *settled_out = 0;
    return journalCall(journal, [&](Journal& j) {
        const SettleResult result = settleOnce(j, id, note == nullptr ? "" : note);
        if (result == SettleResult::NoSuchEntry) return invalid("no such entry");
        *settled_out = result == SettleResult::Settled ? 1 : 0;
        return ORVALIS_OK;
    });
}

orvalis_status orvalis_journal_copy(orvalis_journal* from, orvalis_journal* to, int64_t* copied_out,
                                    int64_t* present_out) {
    if (to == nullptr) return invalid("no journal to copy to");
    return journalCall(from, [&](Journal& source) {
        const JournalCopyCounts counts = copyJournal(source, *to->journal);
        if (copied_out != nullptr) *copied_out = static_cast<int64_t>(counts.copied);
        if (present_out != nullptr) *present_out = static_cast<int64_t>(counts.present);
        return ORVALIS_OK;
    });
}

}  // extern "C"
