#include "CheckKey.h"
#include "LogRoute.h"

#include <Orvalis/Foundation/Clock.h>
#include <Orvalis/Foundation/detail/File.h>
#include <Orvalis/Foundation/MerchantIdentity.h>
#include <Orvalis/Foundation/detail/SecureMemory.h>
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

struct CheckUsage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct CheckOptions {
    std::string keyFile;
    std::optional<std::string> password;
    std::optional<std::string> passwordFile;
    bool verbose = false;
};

// Throws CheckUsage for a command line that cannot be carried out.
CheckOptions parse(const std::vector<std::string>& args) {
    CheckOptions o;
    auto value = [&](std::size_t& i) {
        if (i + 1 >= args.size()) throw CheckUsage("option " + args[i] + " needs a value");
        return args[++i];
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--check-key") continue;
        if (a == "--key") {
            o.keyFile = value(i);
        } else if (a == "--password") {
            o.password = value(i);
        } else if (a == "--password-file") {
            o.passwordFile = value(i);
        } else if (a == "-v" || a == "--verbose") {
            o.verbose = true;
        } else {
            throw CheckUsage("--check-key takes --key, --password or --password-file, and -v; not " + a);
        }
    }
    if (o.keyFile.empty()) throw CheckUsage("--check-key needs --key FILE.p12");
    if (o.password.has_value() == o.passwordFile.has_value())
        throw CheckUsage("give the key file's password with exactly one of --password-file and --password");
    if (o.passwordFile) {
        std::optional<std::string> bytes = detail::readWholeFile(*o.passwordFile);
        if (!bytes) throw CheckUsage("cannot read the password file " + *o.passwordFile);
        // The first line is the password; editors add a line feed (or CR LF).
        o.password = bytes->substr(0, bytes->find('\n'));
        if (!o.password->empty() && o.password->back() == '\r') o.password->pop_back();
        detail::secureWipe(bytes->data(), bytes->size());
    }
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
    } catch (const CheckUsage& usage) {
        err << kProgram << ": " << usage.what() << "\n";
        return 2;
    }
    const LogRoute logRoute(o.verbose, err);

    KeyCheck check = ZRBKeychainManager::sharedInstance().checkKey(KeySource::file(o.keyFile), o.password);
    if (o.password) detail::secureWipe(o.password->data(), o.password->size());
    if (!check.certificate) {
        err << kProgram << ": " << o.keyFile << ": " << describe(check.status) << "\n";
        return 1;
    }
    const CertificateReport& c = *check.certificate;
    out << "Merchant key " << o.keyFile << "\n"
        << "  subject      " << c.subject << "\n"
        << "  issuer       " << c.issuer << "\n"
        << "  serial       " << c.serialNumber << "\n"
        << "  valid from   " << certificateTimeText(c.notBefore) << "\n"
        << "  valid until  " << certificateTimeText(c.notAfter) << "\n"
        << "  key          " << c.keyType << ", " << c.keyBits << " bits\n";
    if (check.status != KeyStatus::Loaded) {
        err << kProgram << ": " << o.keyFile << ": " << describe(check.status) << ": it cannot sign\n";
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
