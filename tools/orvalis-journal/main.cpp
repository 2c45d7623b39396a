// orvalis-journal: what a client's journal holds, for the operator who reconciles payments.
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/ServiceInfrastructure/Journal.h>

#include <cerrno>
#include <charconv>
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
    "usage: orvalis-journal JOURNAL list\n"
    "       orvalis-journal JOURNAL show ID\n"
    "       orvalis-journal JOURNAL settle ID NOTE\n"
    "       orvalis-journal JOURNAL export\n"
    "\n"
    "Reads the journal a client keeps (ClientConfiguration::journalPath) while\n"
    "clients may go on writing to it.\n"
    "  list     the unsettled entries (outcome unknown or maybe reached), oldest\n"
    "           first, one line each: id, time (UTC), operation, outcome, amount,\n"
    "           currency, the ids the request carried, the correlation id (nonce)\n"
    "  show     entry ID as indented JSON\n"
    "  settle   marks entry ID resolved, with NOTE saying what was found out\n"
    "  export   every entry as JSON lines (one object per line), oldest first\n"
    "\n"
    "Options:\n"
    "  -h, --help             this text\n"
    "  -V, --version          the version\n"
    "\n"
    "Exit status: 0 done; 1 the journal cannot be opened or read, or there is no\n"
    "entry ID (the reason is printed); 2 on a usage error.\n";

struct Settings {
    bool help = false, version = false;
};

constexpr Option<Settings> kOptions[] = {
    {"help", 'h', false, [](Settings& s, const std::string&) { s.help = true; }},
    {"version", 'V', false, [](Settings& s, const std::string&) { s.version = true; }},
};

std::int64_t idFrom(const std::string& text) {
    std::int64_t id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size() || id <= 0) {
        throw UsageError("ID takes a positive number: " + text);
    }
    return id;
}

std::string json(const JournalEntry& entry, bool pretty) {
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
std::string line(const JournalEntry& e) {
    Dictionary d = journalEntryDictionary(e);
    std::string text = std::to_string(e.id) + " " + std::string(d["recordedAt"].asString()) + " " + word(e.operation) +
                       " " + (e.reached ? std::string(d["reached"].asString()) : "unknown");
    char amount[32] = "-";
    if (e.amount) *std::to_chars(amount, amount + sizeof amount - 1, *e.amount).ptr = '\0';
    text += std::string(" ") + amount;
    text += " " + word(e.currency.value_or("-"));
    for (const auto& [name, value] : e.requestIds) text += " " + word(name) + "=" + word(value);
    return text + " nonce=" + word(e.correlationId);
}

int run(const std::vector<std::string>& operands) {
    const std::string& path = operands[0];
    const std::string& command = operands[1];
    const std::size_t needed = command == "show" ? 3 : command == "settle" ? 4 : 2;
    if (command != "list" && command != "show" && command != "settle" && command != "export") {
        throw UsageError("unknown command " + command);
    }
    if (operands.size() != needed) throw UsageError(command + " takes " + std::to_string(needed - 2) + " operand(s)");
    const std::int64_t id = needed > 2 ? idFrom(operands[2]) : 0;
    // An operator's typo must not leave an empty journal behind.
    std::error_code error;
    if (!std::filesystem::exists(path, error)) throw FileError("no journal at " + path);
    std::shared_ptr<Journal> journal = openJournal(path);
    if (command == "list") {
        for (const JournalEntry& e : journal->unsettled()) std::cout << line(e) << "\n";
    } else if (command == "export") {
        // In pages, so that a large journal is never held whole.
        for (std::int64_t after = 0;;) {
            std::vector<JournalEntry> page = journal->entries(after, 1000);
            if (page.empty()) break;
            for (const JournalEntry& e : page) std::cout << json(e, false) << "\n";
            after = page.back().id;
        }
    } else if (command == "show") {
        std::optional<JournalEntry> e = journal->entry(id);
        if (!e) throw FileError("no entry " + operands[2] + " in " + path);
        std::cout << forTerminal(json(*e, true)) << "\n";
    } else if (!journal->settle(id, operands[3])) {
        throw FileError("no entry " + operands[2] + " in " + path);
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
        return run(operands);
    } catch (const UsageError& e) {
        std::cerr << "orvalis-journal: " << e.what() << "\nTry 'orvalis-journal --help'.\n";
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "orvalis-journal: " << e.what() << "\n";
        return kExitFailed;
    }
}
