#include "SignCommand.h"
#include "LogRoute.h"

#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/Value/Value.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Orvalis/Utils/Crypto/ZRBKeychainManager.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <set>

namespace orvalis::tools {
namespace {

constexpr const char* kProgram = "orvalis-sign";

std::pair<std::string, std::string> splitPair(const std::string& text) {
    auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        throw UsageError("query parameter \"" + text + "\" is not of the form name=value");
    }
    return {text.substr(0, eq), text.substr(eq + 1)};
}

std::string contentTypeFor(const std::string& given) {
    if (given.empty() || given == "json") return HTTPContentTypeToString[HTTPContentTypeJSON];
    if (given == "xml") return HTTPContentTypeToString[HTTPContentTypeXML];
    return given;
}

// The key is looked up among the resources as "<name>.p12", like the library's
// operations do, so the tool exercises the very same path.
std::pair<std::string, std::string> keyLocation(const std::string& keyFile) {
    namespace fs = std::filesystem;
    fs::path p(keyFile);
    if (p.extension() != ".p12") {
        throw UsageError("the key file must be named <name>.p12, as the library looks it up: " + keyFile);
    }
    std::error_code ec;
    readInput(keyFile);  // the system's reason when it cannot be read
    if (!fs::is_regular_file(p, ec)) throw FileError("the key file is not a regular file: " + keyFile);
    fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
    return {fs::absolute(dir, ec).string(), p.stem().string()};
}

}  // namespace

bool isTokenKey(const std::string& key) { return key.rfind("pkcs11:", 0) == 0; }

std::string keyForDisplay(const std::string& key) {
    // A token URI may carry its PIN (pin-value): shown as the library's log lines show it.
    return isTokenKey(key) ? KeySource::token(key).searchedLocation() : key;
}

std::string readPasswordFile(const std::string& path) {
    // The first line is the password; editors add a line feed (or CR LF).
    std::string bytes = readInput(path);
    std::string password = bytes.substr(0, bytes.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    detail::secureWipe(bytes);
    return password;
}

std::string usageText() {
    return R"(orvalis-sign: sign a merchant request exactly as Orvalis does, and print the
signature base string, the Authorization header and a ready curl command line.
Use it to compare with what the server computed when it refuses a signature.

usage:
  orvalis-sign --url URL [options] --consumer-key KEY --key FILE.p12 --password-file FILE
  orvalis-sign --host HOST --path PATH [options] --consumer-key KEY --key FILE.p12 --password TEXT

request:
  -X, --method GET|POST    the HTTP method (default: GET, or POST when --body is given)
      --url URL            https://host/path?name=value&... (http:// also accepted);
                           the query becomes the query parameters
      --host HOST          the host, without scheme or trailing "/" (with --path)
      --path PATH          the resource path, beginning with "/" (with --host)
      --http               with --host: use http:// instead of https://
      --query NAME=VALUE   a query parameter of a GET request; repeat for more
      --body FILE          the body of a POST request, sent byte for byte
                           ("-": standard input)
      --content-type TYPE  json (default), xml, or a full media type

credentials:
      --consumer-key KEY   the merchant's consumer key
      --key FILE.p12       the merchant's PKCS#12 key file
      --key pkcs11:URI     or a key that signs inside a PKCS#11 token (RFC 7512 URI,
                           with ?module-path=... or the modules p11-kit knows);
                           --password or --password-file then give the token's PIN
      --password-file FILE the key file's password, on the first line of FILE
                           ("-": standard input)
      --password TEXT      the password itself (other users may see it in the
                           process list: prefer --password-file)
      --sha256             sign with RSA-SHA256 (default RSA-SHA1, as the
                           library's operations)

key check:
      --check-key          with --key and a password: print the certificate (subject,
                           issuer, serial, dates, key) and warn when it expires within
                           30 days or has expired (exit status 3 with a warning)

other:
reproducing a logged request:
      --nonce TEXT         use this oauth_nonce instead of a fresh one
      --timestamp SECONDS  use this oauth_timestamp instead of the clock

other:
  -v, --verbose            also print the library's diagnostic lines (stderr)
  -h, --help               this text
  -V, --version            the version

Every option also takes its value as --name=VALUE. Values are signed as given:
a value already percent-encoded is decoded first, as the library does.
Without --nonce and --timestamp each run draws its own.
Exit status: 0 signed, 1 could not sign or read a file (the reason follows),
2 bad usage.
)";
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

void applyURL(const std::string& url, SignOptions& options) {
    std::string rest;
    if (url.rfind("https://", 0) == 0) {
        options.https = true;
        rest = url.substr(8);
    } else if (url.rfind("http://", 0) == 0) {
        options.https = false;
        rest = url.substr(7);
    } else {
        throw UsageError("the URL must begin with https:// or http://: " + url);
    }
    if (rest.find('#') != std::string::npos) throw UsageError("a URL fragment (#...) is never sent: " + url);
    std::string query;
    if (auto q = rest.find('?'); q != std::string::npos) {
        query = rest.substr(q + 1);
        rest.resize(q);
    }
    auto slash = rest.find('/');
    options.host = rest.substr(0, slash);
    options.path = slash == std::string::npos ? std::string() : rest.substr(slash);
    if (options.host.empty()) throw UsageError("the URL has no host: " + url);
    std::size_t start = 0;
    while (!query.empty() && start <= query.size()) {
        auto amp = query.find('&', start);
        std::string pair = query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
        if (!pair.empty()) options.query.push_back(splitPair(pair));
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
}

namespace {

// One row per option; the usage text above lists them for people.
constexpr Option<SignOptions> kOptions[] = {
    {"help", 'h', false, [](SignOptions& o, const std::string&) { o.help = true; }},
    {"version", 'V', false, [](SignOptions& o, const std::string&) { o.version = true; }},
    {"method", 'X', true, [](SignOptions& o, const std::string& v) { o.method = v; }},
    {"url", 0, true, [](SignOptions& o, const std::string& v) { o.url = v; }},
    {"host", 0, true,
     [](SignOptions& o, const std::string& v) {
         o.host = v;
         o.hostGiven = true;
     }},
    {"path", 0, true,
     [](SignOptions& o, const std::string& v) {
         o.path = v;
         o.pathGiven = true;
     }},
    {"http", 0, false, [](SignOptions& o, const std::string&) { o.httpGiven = true; }},
    {"query", 0, true, [](SignOptions& o, const std::string& v) { o.query.push_back(splitPair(v)); }},
    {"body", 0, true, [](SignOptions& o, const std::string& v) { o.bodyFile = v; }},
    {"content-type", 0, true, [](SignOptions& o, const std::string& v) { o.contentType = v; }},
    {"consumer-key", 0, true, [](SignOptions& o, const std::string& v) { o.consumerKey = v; }},
    {"key", 0, true, [](SignOptions& o, const std::string& v) { o.keyFile = v; }},
    {"password", 0, true, [](SignOptions& o, const std::string& v) { o.password = v; }},
    {"password-file", 0, true, [](SignOptions& o, const std::string& v) { o.passwordFile = v; }},
    {"sha256", 0, false, [](SignOptions& o, const std::string&) { o.sha256 = true; }},
    {"nonce", 0, true, [](SignOptions& o, const std::string& v) { o.nonce = v; }},
    {"timestamp", 0, true, [](SignOptions& o, const std::string& v) { o.timestamp = v; }},
    {"verbose", 'v', false, [](SignOptions& o, const std::string&) { o.verbose = true; }},
};

}  // namespace

std::span<const Option<SignOptions>> signOptionTable() { return kOptions; }

SignOptions parseArguments(const std::vector<std::string>& args) {
    SignOptions o;
    if (auto operands = parseOptions(args, signOptionTable(), o); !operands.empty()) {
        throw UsageError("unexpected argument " + operands.front());
    }
    if (o.help || o.version) return o;
    const auto& url = o.url;
    const auto& method = o.method;
    const bool hostGiven = o.hostGiven, pathGiven = o.pathGiven, httpGiven = o.httpGiven;
    if (url && (hostGiven || pathGiven || httpGiven)) throw UsageError("give either --url or --host and --path");
    if (url) {
        auto fromCommandLine = std::move(o.query);
        o.query.clear();
        applyURL(*url, o);
        o.query.insert(o.query.end(), fromCommandLine.begin(), fromCommandLine.end());
    } else {
        if (!hostGiven) throw UsageError("give the request with --url, or with --host and --path");
        if (o.host.empty() || o.host.find("://") != std::string::npos || o.host.back() == '/') {
            throw UsageError("--host takes the bare host name, without scheme or trailing \"/\": " + o.host);
        }
        o.https = !httpGiven;
    }
    if (!o.path.empty() && o.path.front() != '/') throw UsageError("the path must begin with \"/\": " + o.path);

    if (method) {
        if (*method == "GET") {
            o.post = false;
        } else if (*method == "POST") {
            o.post = true;
        } else {
            throw UsageError("the method must be GET or POST, not " + *method);
        }
    } else {
        o.post = o.bodyFile.has_value();
    }
    if (!o.post && o.bodyFile) throw UsageError("a GET request has no body: use --method POST with --body");
    if (o.post && !o.query.empty()) {
        throw UsageError(
            "a POST request carries no query parameters: the library signs only the OAuth "
            "parameters and the body hash for it");
    }
    if (!o.post && !o.contentType.empty()) throw UsageError("--content-type is for POST requests");
    std::set<std::string> names;
    for (const auto& [name, value] : o.query) {
        if (!names.insert(name).second) {
            throw UsageError("query parameter \"" + name + "\" is given twice; a request carries one value per name");
        }
    }

    if (o.consumerKey.empty()) throw UsageError("--consumer-key is required");
    if (o.keyFile.empty()) throw UsageError("--key is required");
    if (o.timestamp && (o.timestamp->empty() || o.timestamp->find_first_not_of("0123456789") != std::string::npos)) {
        throw UsageError("--timestamp takes seconds since 1970, digits only: " + *o.timestamp);
    }
    if (o.nonce && o.nonce->empty()) throw UsageError("--nonce needs a non-empty value");
    if (o.bodyFile == "-" && o.passwordFile == "-") {
        throw UsageError("standard input can give the body or the password file, not both");
    }
    if (o.password.has_value() == o.passwordFile.has_value()) {
        throw UsageError("give the key file's password with exactly one of --password-file and --password");
    }
    return o;
}

int runSign(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    SignOptions o;
    std::optional<std::string> body;
    std::pair<std::string, std::string> key;
    try {
        o = parseArguments(args);
        if (o.help || o.version) {
            out << (o.help ? usageText() : versionText(kProgram));
            return kExitDone;
        }
        if (o.passwordFile) o.password = readPasswordFile(*o.passwordFile);
        if (o.bodyFile) body = readInput(*o.bodyFile);
        if (!isTokenKey(o.keyFile)) key = keyLocation(o.keyFile);
    } catch (const UsageError& e) {
        err << kProgram << ": " << e.what() << "\n"
            << "Try '" << kProgram << " --help'.\n";
        return kExitUsage;
    } catch (const FileError& e) {
        err << kProgram << ": " << e.what() << "\n";
        return kExitFailed;
    }

    const LogRoute logRoute(o.verbose, err);
    Bundle::mainBundle().setResourcePath(key.first);

    // Say precisely why a key is unusable: the signer alone would only leave
    // the signature out. A token key says so after signing (it never comes into memory).
    if (!isTokenKey(o.keyFile)) {
        PrivateKey privateKey = ZRBKeychainManager::sharedInstance().getPrivateKey(key.second, o.password);
        if (!privateKey) {
            err << kProgram << ": no signature was made: " << o.keyFile
                << " could not be unlocked with this password, is not a PKCS#12 file, or holds no private key "
                   "with its certificate\n";
            return 1;
        }
        if (!privateKey.isRSA()) {
            err << kProgram << ": no signature was made: the key in " << o.keyFile
                << " is not an RSA key (RSA-SHA1 and RSA-SHA256 need one)\n";
            return 1;
        }
    }

    std::optional<Dictionary> query;
    if (!o.query.empty()) {
        Dictionary d;
        for (const auto& [name, value] : o.query) d.set(name, Value(value));
        query = d;
    }
    const auto method = o.post ? HTTPMethodTypePOST : HTTPMethodTypeGET;
    const auto scheme = o.https ? OAuthURLSchemeTypeHTTPS : OAuthURLSchemeTypeHTTP;
    const auto type = o.sha256 ? OAuthSignatureTypeRSASHA256 : OAuthSignatureTypeRSASHA1;
    // The signer's own steps, as initWith runs them, with room to put back a
    // nonce and timestamp that a server logged.
    ZRBOAuthProvider signer;
    signer.setHttpMethod(HTTPMethodTypeToString[method]);
    signer.setURLScheme(OAuthURLSchemeTypeToString[scheme]);
    signer.setHost(o.host);
    signer.setURLPath(o.path);
    if (query) signer.setQueryParams(*query);
    signer.setConsumerKey(o.consumerKey);
    if (isTokenKey(o.keyFile)) {
        signer.setMerchantKeySource(KeySource::token(o.keyFile));
    } else {
        signer.setPrivateKeyP12(key.second);
    }
    signer.setP12Password(o.password);
    signer.setOAuthSignatureType(type);
    if (body) signer.setupRequestBodyHash(*body);
    signer.setupOAuthHeaders();
    if (o.nonce || o.timestamp) {
        Dictionary headers = signer.oAuthHeaders().deepCopy();
        if (o.nonce) headers.set(kNonce, Value(*o.nonce));
        if (o.timestamp) headers.set(kTimestamp, Value(*o.timestamp));
        signer.setOAuthHeaders(headers);
    }
    signer.setupSignatureBaseString();
    signer.setupEncodedSignature();

    const std::string baseString = signer.oAuthSignatureBaseString().value_or("");
    if (signer.oAuthHeaders().find(kSignature) == nullptr) {
        err << kProgram << ": no signature was made with " << keyForDisplay(o.keyFile) << ": "
            << describe(signer.keyStatus().value_or(KeyStatus::SigningFailed)) << "\n";
        return 1;
    }

    const std::string url = signer.URLWithQueriesParams();
    const std::string authorization = signer.oAuthHeader();
    const std::string contentType = contentTypeFor(o.contentType);
    const char* methodText = HTTPMethodTypeToString[method];

    out << "Request\n"
        << "  " << methodText << ' ' << url << '\n';
    if (o.post) {
        out << "  Content-Type: " << contentType << '\n'
            << "  body: " << (body ? std::to_string(body->size()) + " bytes from " + shownName(*o.bodyFile) : "none")
            << '\n';
    }
    // The parameters in the order the base string takes them (names compared
    // byte by byte), each value as given and as it is written there.
    const Dictionary all = signer.getAllHeaderParamsForBaseString();
    std::vector<std::pair<std::string, std::string>> parameters;
    for (const auto& entry : all) {
        // The signature joined the OAuth set after the base string was made.
        if (entry.key() == kSignature && signer.queryParams().find(kSignature) == nullptr) continue;
        parameters.emplace_back(std::string(entry.key()), entry.value().description());
    }
    std::sort(parameters.begin(), parameters.end());
    std::size_t width = 0;
    for (const auto& p : parameters) width = std::max(width, p.first.size());
    out << "\nSigned parameters, in base-string order (value, then as written in the base string)\n";
    for (const auto& [name, value] : parameters) {
        out << "  " << name << std::string(width - name.size(), ' ') << " = " << value << "  ->  "
            << ZRBOAuthProvider::keyEncodeString(value) << '\n';
    }
    out << "\nSignature base string\n" << baseString << "\n";
    out << "\nAuthorization header\n" << kAuthorization << ": " << authorization << "\n";
    out << "\ncurl command\n"
        << "curl";
    // With a body curl posts by itself (and warns about a redundant -X POST).
    if (o.post && !body) out << " -X POST";
    out << " -H " << shellQuote(std::string(kAuthorization) + ": " + authorization);
    if (o.post) {
        out << " -H " << shellQuote(std::string(kHTTPContentType) + ": " + contentType);
        // A body from standard input is gone once read: the line carries it.
        if (body) out << " --data-binary " << (*o.bodyFile == "-" ? shellQuote(*body) : "@" + shellQuote(*o.bodyFile));
    }
    out << ' ' << shellQuote(url) << '\n';
    return 0;
}

}  // namespace orvalis::tools
