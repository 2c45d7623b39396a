#include "CheckKey.h"
#include "LogRoute.h"
#include "SignCommand.h"

#include <Orvalis/Foundation/System/Clock.h>
#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/Utils/Crypto/ZRBKeychainManager.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <ostream>
#include <stdexcept>

namespace orvalis::tools {
namespace {

constexpr const char* kProgram = "orvalis-sign";
constexpr double kWarnSeconds = 30 * 86400.0;

struct CheckOptions {
    std::string keyFile;
    std::optional<std::string> password;
    std::optional<std::string> passwordFile;
    bool verbose = false;
};

// The same conventions as signing: "--name value" or "--name=value", "-" for standard input.
constexpr Option<CheckOptions> kCheckOptions[] = {
    {"check-key", 0, false, [](CheckOptions&, const std::string&) {}},
    {"key", 0, true, [](CheckOptions& o, const std::string& v) { o.keyFile = v; }},
    {"password", 0, true, [](CheckOptions& o, const std::string& v) { o.password = v; }},
    {"password-file", 0, true, [](CheckOptions& o, const std::string& v) { o.passwordFile = v; }},
    {"verbose", 'v', false, [](CheckOptions& o, const std::string&) { o.verbose = true; }},
};

// Throws UsageError for a command line that cannot be carried out, FileError for an unreadable password file.
CheckOptions parse(const std::vector<std::string>& args) {
    CheckOptions o;
    try {
        if (!parseOptions<CheckOptions>(args, kCheckOptions, o).empty()) throw UsageError("unexpected argument");
    } catch (const UsageError& e) {
        throw UsageError(std::string(e.what()) + " (--check-key takes --key, --password or --password-file, and -v)");
    }
    if (o.keyFile.empty()) throw UsageError("--check-key needs --key FILE.p12 or --key pkcs11:URI");
    if (o.password.has_value() == o.passwordFile.has_value())
        throw UsageError("give the key file's password with exactly one of --password-file and --password");
    if (o.passwordFile) o.password = readPasswordFile(*o.passwordFile);
    return o;
}

long wholeDays(double seconds) { return static_cast<long>(std::floor(seconds / 86400.0)); }

}  // namespace

bool wantsCheckKey(const std::vector<std::string>& args) {
    return std::find(args.begin(), args.end(), "--check-key") != args.end();
}

int runCheckKey(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    CheckOptions o;
    try {
        o = parse(args);
    } catch (const UsageError& usage) {
        err << kProgram << ": " << usage.what() << "\n";
        return kExitUsage;
    } catch (const FileError& e) {
        err << kProgram << ": " << e.what() << "\n";
        return kExitFailed;
    }
    const LogRoute logRoute(o.verbose, err);

    // A token key's certificate is read from the token, beside the key.
    const KeySource source = isTokenKey(o.keyFile) ? KeySource::token(o.keyFile) : KeySource::file(o.keyFile);
    KeyCheck check = ZRBKeychainManager::sharedInstance().checkKey(source, o.password);
    if (o.password) detail::secureWipe(o.password->data(), o.password->size());
    if (!check.certificate) {
        err << kProgram << ": " << keyForDisplay(o.keyFile) << ": " << describe(check.status) << "\n";
        return 1;
    }
    const CertificateReport& c = *check.certificate;
    out << "Merchant key " << keyForDisplay(o.keyFile) << "\n"
        << "  subject      " << c.subject << "\n"
        << "  issuer       " << c.issuer << "\n"
        << "  serial       " << c.serialNumber << "\n"
        << "  valid from   " << certificateTimeText(c.notBefore) << "\n"
        << "  valid until  " << certificateTimeText(c.notAfter) << "\n"
        << "  key          " << c.keyType << ", " << c.keyBits << " bits\n"
        << "  key match    " << (check.certificateMatchesKey ? "yes" : "no") << "\n";
    if (!check.certificateMatchesKey) {
        err << kProgram << ": " << keyForDisplay(o.keyFile)
            << ": the certificate does not hold this key's public key\n";
        return 1;
    }
    if (check.status != KeyStatus::Loaded) {
        err << kProgram << ": " << keyForDisplay(o.keyFile) << ": " << describe(check.status) << ": it cannot sign\n";
        return 1;
    }

    const double now = currentTimeIntervalSince1970();
    const double left = static_cast<double>(c.notAfter) - now;
    if (left < 0) {
        err << kProgram << ": warning: the certificate expired " << wholeDays(-left) << " days ago, on "
            << certificateTimeText(c.notAfter) << "\n";
        return 3;
    }
    if (now < static_cast<double>(c.notBefore)) {
        err << kProgram << ": warning: the certificate is not valid before " << certificateTimeText(c.notBefore)
            << "\n";
        return 3;
    }
    if (left <= kWarnSeconds) {
        err << kProgram << ": warning: the certificate expires in " << wholeDays(left) << " days, on "
            << certificateTimeText(c.notAfter) << "\n";
        return 3;
    }
    return 0;
}

}  // namespace orvalis::tools
