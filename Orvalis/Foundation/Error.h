#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Value/Value.h>

namespace orvalis {

/// Key of the human-readable description in Error::userInfo().
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescriptionKey";

/// The record delivered to a failure callback: a domain, a code and a
/// userInfo dictionary holding the description under NSLocalizedDescriptionKey.
class ORVALIS_EXPORT Error {
public:
    /// An Error holding the three parts; userInfo is shared with the caller, not copied.
    Error(std::string domain, std::int64_t code, Dictionary userInfo);
    /// An Error whose userInfo holds exactly the description.
    static Error withDescription(std::string domain, std::int64_t code, std::string_view description);

    /// Who reported the failure, e.g. URLErrorDomain or kZRBNetworkErrorDomain.
    const std::string& domain() const noexcept { return domain_; }
    /// What failed, as a number whose meaning belongs to the domain.
    std::int64_t code() const noexcept { return code_; }
    /// The description under NSLocalizedDescriptionKey and any details the domain adds.
    const Dictionary& userInfo() const noexcept { return userInfo_; }
    /// The description from userInfo, or "" when it holds none.
    std::string localizedDescription() const;
    /// "domain code: description", for logs and test output.
    std::string description() const;

private:
    std::string domain_;
    std::int64_t code_;
    Dictionary userInfo_;
};

/// Writes description(): "domain code: description".
ORVALIS_EXPORT std::ostream& operator<<(std::ostream& out, const Error& error);

}  // namespace orvalis
