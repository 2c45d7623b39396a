// orvalis-journal: what a client's journal holds, for the operator who reconciles payments.
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/ServiceInfrastructure/Journal.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <optional>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "ToolSupport.h"

using namespace orvalis;
using namespace orvalis::tools;

namespace {

constexpr const char* kUsage =
    "usage: orvalis-journal JOURNAL list [--stale DURATION] [--instance ID] [--older-than DURATION]\n"
    "       orvalis-journal JOURNAL show ID\n"
    "       orvalis-journal JOURNAL settle ID NOTE\n"
    "       orvalis-journal JOURNAL export\n"
    "       orvalis-journal copy SOURCE DESTINATION\n"
    "\n"
    "Reads the journal clients keep (ClientConfiguration::journalPath) while they\n"
    "may go on writing to it. JOURNAL is an SQLite file or a PostgreSQL database\n"
    "named by a libpq connection string (postgresql://..., or host=... dbname=...),\n"
    "whose entries come from every instance writing to it.\n"
    "  list     the unsettled entries (outcome unknown or maybe reached), oldest\n"
    "           first, one line each: id, time (UTC), operation, outcome, amount,\n"
    "           currency, the ids the request carried, the correlation id (nonce),\n"
    "           the instance that recorded it, and \"stale\" when that instance was\n"
    "           not seen alive for longer than 60s\n"
    "  show     entry ID as indented JSON\n"
    "  settle   marks entry ID resolved, with NOTE saying what was found out; fails\n"
    "           when it was settled already (another operator was first)\n"
    "  export   every entry as JSON lines (one object per line), oldest first\n"
    "  copy     adds every entry of SOURCE that DESTINATION lacks (made when\n"
    "           missing): a file into a database or back; running it again adds none\n"
    "\n"
    "Options:\n"
    "      --stale DURATION   list: only the entries of instances not seen alive for\n"
    "                         longer than DURATION (30s, 5m, 2h, 1d, 500ms)\n"
    "      --instance ID      list: only the entries of instance ID\n"
    "      --older-than DURATION  list: only the entries recorded longer ago\n"
    "  -h, --help             this text\n"
    "  -V, --version          the version\n"
    "\n"
    "Exit status: 0 done; 1 the journal cannot be opened or read, there is no\n"
    "entry ID or it was settled already (the reason is printed); 2 on a usage error.\n";

struct Settings {
    bool help = false, version = false;
    std::optional<std::chrono::milliseconds> stale, olderThan;
    std::optional<std::string> instance;
};

std::chrono::milliseconds durationFrom(const std::string& text) {
    std::int64_t count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    const std::string unit(end, text.data() + text.size());
    static constexpr std::pair<const char*, std::int64_t> kUnits[] = {
        {"ms", 1}, {"s", 1000}, {"m", 60000}, {"h", 3600000}, {"d", 86400000}};
    for (const auto& [name, ms] : kUnits) {
        if (error == std::errc() && count >= 0 && unit == name && count <= INT64_MAX / ms) {
            return std::chrono::milliseconds(count * ms);
        }
    }
    throw UsageError("a duration is a number and a unit (ms, s, m, h, d): " + text);
}

constexpr Option<Settings> kOptions[] = {
    {"help", 'h', false, [](Settings& s, const std::string&) { s.help = true; }},
    {"version", 'V', false, [](Settings& s, const std::string&) { s.version = true; }},
    {"stale", 0, true, [](Settings& s, const std::string& v) { s.stale = durationFrom(v); }},
    {"older-than", 0, true, [](Settings& s, const std::string& v) { s.olderThan = durationFrom(v); }},
    {"instance", 0, true, [](Settings& s, const std::string& v) { s.instance = v; }},
};

std::int64_t idFrom(const std::string& text) {
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size() || id <= 0) {
        throw UsageError("ID takes a positive number: " + text);
    }
    return id;
}

std::string json(const InstanceEntry& entry, bool pretty) {
    return JSONSerialization::dataWithJSONObject(Value(journalEntryDictionary(entry)), pretty);
}

// A C1 control (U+0080..U+009F) as UTF-8: C2 80..C2 9F. Terminals act on some of them.
bool isC1At(std::string_view text, std::size_t i) {
    return static_cast<unsigned char>(text[i]) == 0xC2 && i + 1 < text.size() &&
           static_cast<unsigned char>(text[i + 1]) >= 0x80 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
}

// A field of list as one word that a terminal shows as written: a line break in an id cannot
// make a line of its own, nor a control byte drive the terminal. "\" escapes itself.
std::string word(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c <= ' ' || c == 0x7F || isC1At(text, i)) {
            const unsigned code = isC1At(text, i) ? static_cast<unsigned char>(text[++i]) : c;
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", code);
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// JSON for a terminal: the writer escapes what JSON must; DEL and C1 controls get \u escapes too,
// which leave the same JSON value.
std::string forTerminal(std::string_view json) {
    std::string out;
    for (std::size_t i = 0; i < json.size(); ++i) {
        const auto c = static_cast<unsigned char>(json[i]);
        if (c == 0x7F || isC1At(json, i)) {
            const unsigned code = c == 0x7F ? c : static_cast<unsigned char>(json[++i]);
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", code);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// One line of list: what an operator reads first to find the payment at the service.
std::string line(const InstanceEntry& found) {
    const JournalEntry& e = found.entry;
    Dictionary d = journalEntryDictionary(e);
    std::string text = std::to_string(e.id) + " " + std::string(d["recordedAt"].asString()) + " " + word(e.operation) +
                       " " + (e.reached ? std::string(d["reached"].asString()) : "unknown");
    char amount[32] = "-";
    if (e.amount) *std::to_chars(amount, amount + sizeof amount - 1, *e.amount).ptr = '\0';
    text += std::string(" ") + amount;
    text += " " + word(e.currency.value_or("-"));
    for (const auto& [name, value] : e.requestIds) text += " " + word(name) + "=" + word(value);
    return text + " nonce=" + word(e.correlationId) + " instance=" + word(found.instance) + (found.stale ? " stale" : "");
}

// An operator's typo must not leave an empty journal behind (a database's tables are made on first use).
std::shared_ptr<Journal> openExisting(const std::string& path) {
    std::error_code error;
    if (!isJournalConnectionString(path) && !std::filesystem::exists(path, error)) {
        throw FileError("no journal at " + path);
    }
    return openJournal(path);
}

int copy(const std::vector<std::string>& operands) {
    if (operands.size() != 3) throw UsageError("copy takes a source and a destination");
    std::shared_ptr<Journal> from = openExisting(operands[1]);
    std::shared_ptr<Journal> to = openJournal(operands[2]);
    const JournalCopyCounts counts = copyJournal(*from, *to);
    std::cout << "copied " << counts.copied << " entries (" << counts.present << " already there)\n";
    return kExitDone;
}

int run(const std::vector<std::string>& operands, const Settings& settings) {
    if (operands[0] == "copy" && operands.size() == 3) return copy(operands);
    const std::string& path = operands[0];
    const std::string& command = operands[1];
    const std::size_t needed = command == "show" ? 3 : command == "settle" ? 4 : 2;
    if (command != "list" && command != "show" && command != "settle" && command != "export") {
        throw UsageError("unknown command " + command);
    }
    if (operands.size() != needed) throw UsageError(command + " takes " + std::to_string(needed - 2) + " operand(s)");
    if (command != "list" && (settings.stale || settings.olderThan || settings.instance)) {
        throw UsageError("--stale, --instance and --older-than go with list");
    }
    const std::int64_t id = needed > 2 ? idFrom(operands[2]) : 0;
    std::shared_ptr<Journal> journal = openExisting(path);
    JournalQuery query;
    if (command == "list") {
        if (settings.stale) query.staleAfter = *settings.stale, query.staleOnly = true;
        query.instance = settings.instance;
        query.olderThan = settings.olderThan;
        for (const InstanceEntry& e : findJournalEntries(*journal, query)) std::cout << line(e) << "\n";
    } else if (command == "export") {
        // In pages, so that a large journal is never held whole.
        query.unsettledOnly = false;
        query.limit = 1000;
        for (;;) {
            std::vector<InstanceEntry> page = findJournalEntries(*journal, query);
            if (page.empty()) break;
            for (const InstanceEntry& e : page) std::cout << json(e, false) << "\n";
            query.afterId = page.back().entry.id;
        }
    } else if (command == "show") {
        query.unsettledOnly = false;
        query.afterId = id - 1;
        query.limit = 1;
        std::vector<InstanceEntry> found = findJournalEntries(*journal, query);
        if (found.empty() || found[0].entry.id != id) throw FileError("no entry " + operands[2] + " in the journal");
        std::cout << forTerminal(json(found[0], true)) << "\n";
    } else {
        const SettleResult result = settleOnce(*journal, id, operands[3]);
        if (result == SettleResult::NoSuchEntry) throw FileError("no entry " + operands[2] + " in the journal");
        if (result == SettleResult::AlreadySettled) {
            throw FileError("entry " + operands[2] + " was settled already: " + journal->entry(id)->settleNote);
        }
    }
    std::cout.flush();
    if (!std::cout) throw FileError(std::string("cannot write standard output: ") + std::strerror(errno));
    return kExitDone;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Settings settings;
        std::vector<std::string> operands = parseOptions<Settings>({argv + 1, argv + argc}, kOptions, settings);
        if (settings.help || settings.version) {
            std::cout << (settings.help ? std::string(kUsage) : versionText("orvalis-journal"));
            return kExitDone;
        }
        if (operands.size() < 2) throw UsageError("a journal and a command are needed");
        return run(operands, settings);
    } catch (const UsageError& e) {
        std::cerr << "orvalis-journal: " << e.what() << "\nTry 'orvalis-journal --help'.\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "orvalis-journal: " << e.what() << "\n";
        return kExitFailed;
    }
}
