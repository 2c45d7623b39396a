#pragma once

// orvalis-sign --check-key: what a merchant key file holds, and whether its
// certificate is about to expire.

#include <iosfwd>
#include <string>
#include <vector>

namespace orvalis::tools {

/// True when the arguments ask for --check-key.
bool wantsCheckKey(const std::vector<std::string>& args);

/// Runs --check-key: prints the certificate's subject, issuer, serial,
/// validity and key, and warns (on err) when it expired, is not yet valid, or
/// expires within 30 days of the library's clock. Returns 0 when the key is
/// usable with no warning, 3 with a warning, 1 when there is no usable key,
/// 2 for a command-line error.
int runCheckKey(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace orvalis::tools
