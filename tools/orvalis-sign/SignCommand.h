#pragma once

// The orvalis-sign command: signs one request the way the library's
// operations do and prints what a merchant needs to compare with the server.

#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace orvalis::tools {

/// A command line that cannot be carried out as given; the text says why.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// What the command line asks for.
struct SignOptions {
    bool help = false;
    bool post = false;
    bool https = true;
    bool sha256 = false;
    bool verbose = false;
    std::string host;
    std::string path;
    std::vector<std::pair<std::string, std::string>> query;
    std::optional<std::string> bodyFile;
    std::string contentType;
    std::string consumerKey;
    std::string keyFile;
    std::optional<std::string> password;
    std::optional<std::string> passwordFile;
};

/// Parses the arguments (without the program name); throws UsageError.
SignOptions parseArguments(const std::vector<std::string>& args);

/// Splits "http[s]://host/path?name=value&..." into options; throws UsageError.
void applyURL(const std::string& url, SignOptions& options);

/// text quoted for a POSIX shell: one word, whatever it holds.
std::string shellQuote(const std::string& text);

/// Runs the command: 0 when the request was signed and printed, 1 when it
/// could not be signed, 2 for a command-line error.
int runSign(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

/// The --help text.
std::string usageText();

}  // namespace orvalis::tools
