#pragma once

// What the command-line tools share, so that they behave alike and like the
// tools their users know: "--name value" and "--name=value", "-" for standard
// input and output, the system's reason on file errors, and the exit statuses
// 0 (done), 1 (failed) and 2 (usage).

#include <Orvalis/Version.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvalis::tools {

/// Exit statuses of every tool.
enum ExitStatus : int { kExitDone = 0, kExitFailed = 1, kExitUsage = 2 };

/// A command line that cannot be carried out as given; the text says why.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// A file that cannot be read or written; the text holds the system's reason.
struct FileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// One option of a tool: long name (without "--"), short letter (0: none),
/// whether it takes a value, and what it does to the tool's settings.
template <class Settings>
struct Option {
    std::string_view name;
    char shortName;
    bool takesValue;
    void (*apply)(Settings& settings, const std::string& value);
};

/// Applies args (without the program name) to settings, in order, and returns
/// the operands; "--" ends the options, "-" alone is an operand. Throws UsageError.
template <class Settings>
std::vector<std::string> parseOptions(const std::vector<std::string>& args, std::span<const Option<Settings>> table,
                                      Settings& settings) {
    std::vector<std::string> operands;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            operands.insert(operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        const bool isLong = arg[1] == '-';
        const std::size_t eq = isLong ? arg.find('=') : std::string::npos;
        const std::string name = isLong ? arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2) : "";
        const Option<Settings>* option = nullptr;
        for (const auto& o : table) {
            if (isLong ? o.name == name : (arg.size() == 2 && o.shortName != 0 && o.shortName == arg[1])) option = &o;
        }
        if (option == nullptr) throw UsageError("unknown option " + arg);
        std::string value;
        if (eq != std::string::npos) {
            if (!option->takesValue) throw UsageError("option --" + name + " takes no value");
            value = arg.substr(eq + 1);
        } else if (option->takesValue) {
            if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a value");
            value = args[++i];
        }
        option->apply(settings, value);
    }
    return operands;
}

/// The name shown for path in messages.
inline std::string shownName(const std::string& path) { return path == "-" ? "standard input" : path; }

/// The whole content of path ("-": standard input); throws FileError with the system's reason.
inline std::string readInput(const std::string& path) {
    std::FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw FileError("cannot open " + path + ": " + std::strerror(errno));
    std::string data;
    char buffer[65536];
    std::size_t n = 0;
    errno = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.append(buffer, n);
    const int error = std::ferror(f) ? (errno != 0 ? errno : EIO) : 0;
    if (f != stdin) std::fclose(f);
    if (error != 0) throw FileError("cannot read " + shownName(path) + ": " + std::strerror(error));
    return data;
}

/// "<program> (Orvalis) <version>", the --version text.
inline std::string versionText(std::string_view program) {
    return std::string(program) + " (Orvalis) " ORVALIS_VERSION_STRING "\n";
}

}  // namespace orvalis::tools
