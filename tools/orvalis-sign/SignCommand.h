#pragma once

// The orvalis-sign command: signs one request the way the library's
// operations do and prints what a merchant needs to compare with the server.

#include "ToolSupport.h"

#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace orvalis::tools {

/// What the command line asks for.
struct SignOptions {
    bool help = false;
    bool version = false;
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
    std::optional<std::string> nonce;
    std::optional<std::string> timestamp;
    // As given, checked once every option is read.
    std::optional<std::string> method;
    std::optional<std::string> url;
    bool hostGiven = false;
    bool pathGiven = false;
    bool httpGiven = false;
};

/// The options orvalis-sign takes; a new option is one more row.
std::span<const Option<SignOptions>> signOptionTable();

/// The first line of path ("-": standard input), without its line end: a key file's password.
/// Throws FileError with the system's reason.
std::string readPasswordFile(const std::string& path);

/// True when --key names a key in a PKCS#11 token ("pkcs11:..." URI) rather than a PKCS#12 file.
bool isTokenKey(const std::string& key);
/// key as the tool may print it: a token URI without its PIN attributes, a file name as given.
std::string keyForDisplay(const std::string& key);

/// Parses the arguments (without the program name); throws UsageError.
SignOptions parseArguments(const std::vector<std::string>& args);

/// Splits "http[s]://host/path?name=value&..." into options; throws UsageError.
void applyURL(const std::string& url, SignOptions& options);

/// text quoted for a POSIX shell: one word, whatever it holds.
std::string shellQuote(const std::string& text);

/// Runs the command: 0 when the request was signed and printed, 1 when it
/// could not be signed or a file could not be read, 2 for a command-line error.
/// A body given as "-" is read from standard input.
int runSign(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

/// The --help text.
std::string usageText();

}  // namespace orvalis::tools
