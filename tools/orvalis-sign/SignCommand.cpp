#include "SignCommand.h"

#include <Orvalis/Foundation/Bundle.h>
#include <Orvalis/Foundation/File.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/Value.h>
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

std::string requireValue(const std::vector<std::string>& args, std::size_t& i) {
    if (i + 1 >= args.size()) throw UsageError("option " + args[i] + " needs a value");
    return args[++i];
}

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

std::string readPasswordFile(const std::string& path) {
    auto bytes = readWholeFile(path);
    if (!bytes) throw UsageError("cannot read the password file " + path);
    // The first line is the password; editors add a line feed (or CR LF).
    std::string password = bytes->substr(0, bytes->find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
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
    if (!fs::is_regular_file(p, ec)) throw UsageError("cannot find the key file " + keyFile);
    if (!readWholeFile(keyFile)) throw UsageError("cannot read the key file " + keyFile);
    fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
    return {fs::absolute(dir, ec).string(), p.stem().string()};
}

}  // namespace

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
  -q, --query NAME=VALUE   a query parameter of a GET request; repeat for more
  -d, --body FILE          the body of a POST request, sent byte for byte
      --content-type TYPE  json (default), xml, or a full media type

credentials:
  -k, --consumer-key KEY   the merchant's consumer key
      --key FILE.p12       the merchant's PKCS#12 key file
      --password-file FILE the key file's password, on the first line of FILE
      --password TEXT      the password itself (other users may see it in the
                           process list: prefer --password-file)
      --sha256             sign with RSA-SHA256 (default RSA-SHA1, as the
                           library's operations)

key check:
      --check-key          with --key and a password: print the certificate (subject,
                           issuer, serial, dates, key) and warn when it expires within
                           30 days or has expired (exit status 3 with a warning)

other:
  -v, --verbose            also print the library's diagnostic lines (stderr)
  -h, --help               this text

Values are signed as given: a value already percent-encoded is decoded first,
as the library does. Each run draws its own nonce and timestamp.
Exit status: 0 signed, 1 could not sign (key file or password), 2 bad usage.
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

SignOptions parseArguments(const std::vector<std::string>& args) {
    SignOptions o;
    std::optional<std::string> method, url;
    bool hostGiven = false, pathGiven = false, httpGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            o.help = true;
            return o;
        } else if (a == "-X" || a == "--method") {
            method = requireValue(args, i);
        } else if (a == "--url") {
            url = requireValue(args, i);
        } else if (a == "--host") {
            o.host = requireValue(args, i);
            hostGiven = true;
        } else if (a == "--path") {
            o.path = requireValue(args, i);
            pathGiven = true;
        } else if (a == "--http") {
            httpGiven = true;
        } else if (a == "-q" || a == "--query") {
            o.query.push_back(splitPair(requireValue(args, i)));
        } else if (a == "-d" || a == "--body") {
            o.bodyFile = requireValue(args, i);
        } else if (a == "--content-type") {
            o.contentType = requireValue(args, i);
        } else if (a == "-k" || a == "--consumer-key") {
            o.consumerKey = requireValue(args, i);
        } else if (a == "--key") {
            o.keyFile = requireValue(args, i);
        } else if (a == "--password") {
            o.password = requireValue(args, i);
        } else if (a == "--password-file") {
            o.passwordFile = requireValue(args, i);
        } else if (a == "--sha256") {
            o.sha256 = true;
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = true;
        } else {
            throw UsageError("unknown argument " + a);
        }
    }

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
        if (o.help) {
            out << usageText();
            return 0;
        }
        if (o.passwordFile) o.password = readPasswordFile(*o.passwordFile);
        if (o.bodyFile) {
            body = readWholeFile(*o.bodyFile);
            if (!body) throw UsageError("cannot read the body file " + *o.bodyFile);
        }
        key = keyLocation(o.keyFile);
    } catch (const UsageError& e) {
        err << kProgram << ": " << e.what() << "\n"
            << "Try '" << kProgram << " --help'.\n";
        return 2;
    }

    // The library's diagnostic lines repeat what is printed below; they are
    // shown only on request, and never outlive this call.
    struct RestoreLog {
        ~RestoreLog() { resetLogHandler(); }
    } restoreLog;
    if (o.verbose) {
        setLogHandler([&err](std::string_view line) { err << line << '\n'; });
    } else {
        setLogHandler(nullptr);
    }
    Bundle::mainBundle().setResourcePath(key.first);

    // Say precisely why a key is unusable: the signer alone would only leave
    // the signature out.
    {
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
    ZRBOAuthProvider signer = ZRBOAuthProvider::initWith(method, scheme, o.host, o.path, query, o.consumerKey,
                                                         key.second, o.password, type, body);

    const std::string baseString = signer.oAuthSignatureBaseString().value_or("");
    if (signer.oAuthHeaders().find(kSignature) == nullptr) {
        err << kProgram << ": no signature was made with " << o.keyFile << "\n";
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
            << "  body: " << (body ? std::to_string(body->size()) + " bytes from " + *o.bodyFile : "none") << '\n';
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
        if (body) out << " --data-binary @" << shellQuote(*o.bodyFile);
    }
    out << ' ' << shellQuote(url) << '\n';
    return 0;
}

}  // namespace orvalis::tools
