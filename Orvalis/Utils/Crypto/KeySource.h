#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis {

/// Where a merchant's PKCS#12 key comes from: a resource of the host's
/// Bundle (what merechantKeyFileName names), a file at a path, bytes in
/// memory, or a host callback asked whenever a key is needed. Copies share
/// their bytes; the library's copy of any key bytes is wiped once no longer
/// needed. Immutable, so any thread may use one.
class ORVALIS_EXPORT KeySource {
public:
    /// Returns the archive's bytes when a key is needed, or no value when it
    /// has none. Called on the thread that signs; must be safe to call from any thread.
    using BytesProvider = std::function<std::optional<std::string>()>;

    /// Which kind of source this is.
    enum class Kind {
        Resource,  ///< A resource of Bundle::mainBundle(), "<name>.p12".
        File,      ///< A file at a path.
        Memory,    ///< PKCS#12 bytes held by the source.
        Callback,  ///< Bytes handed over by the host when a key is needed.
    };

    /// "<name>.p12" among Bundle::mainBundle()'s resources. name must be a plain
    /// resource name (Bundle::isPlainResourceName): any other gives no key.
    static KeySource resource(std::string name);
    /// The file at path, as given (absolute, or relative to the working directory).
    static KeySource file(std::string path);
    /// A copy of pkcs12 (DER bytes), wiped when the last copy of this source goes.
    static KeySource memory(std::string_view pkcs12);
    /// provider's bytes, asked for at every key request (also with the key
    /// cache on: the cache then spares the import, not the call). An empty
    /// provider gives no key.
    static KeySource callback(BytesProvider provider);

    /// The kind of source.
    Kind kind() const noexcept { return kind_; }
    /// The resource name or path; empty for memory and callback sources.
    const std::string& location() const noexcept { return location_; }
    /// A short text for log lines: `resource "merchant"`, `file "keys/m.p12"`,
    /// `bytes in memory`, `host callback` (control bytes escaped).
    std::string description() const;

    /// Where a key request looks, quoted and escaped like description(): the
    /// file's path, or for a resource its path in Bundle::mainBundle()'s
    /// resource directory at the time of the call; "" for memory and callback sources.
    std::string searchedLocation() const;
    /// The bytes of a memory source (empty for other kinds).
    std::string_view bytes() const noexcept;
    /// The provider of a callback source (null for other kinds).
    const BytesProvider* provider() const noexcept { return provider_.get(); }

private:
    struct Secret;
    KeySource(Kind kind, std::string location) : kind_(kind), location_(std::move(location)) {}
    Kind kind_;
    std::string location_;
    std::shared_ptr<const Secret> bytes_;
    std::shared_ptr<const BytesProvider> provider_;
};

/// Why a key request gave no key (or Loaded when it gave one).
enum class KeyStatus {
    Loaded,                  ///< A key with its certificate.
    NotPlainResourceName,    ///< The resource name holds "/", "\\", NUL or is "." or "..".
    NotFound,                ///< No such resource, no such file, or the callback gave no bytes.
    Unreadable,              ///< The file exists but cannot be read.
    NoPassword,              ///< No password was given.
    WrongPasswordOrDamaged,  ///< Not PKCS#12, damaged, or the password does not open it.
    NoKeyWithCertificate,    ///< Opened, but no private key with its certificate inside.
    NotRSA,                  ///< The key is not a plain RSA key (EC, RSA-PSS, ...): it cannot sign.
    NotNamed,                ///< No key was named: neither a key source nor a key file name is set.
    SigningFailed,           ///< The key loaded, but the signature could not be made with it.
};

/// A short English text for status, as the log lines use it ("wrong password or damaged file").
ORVALIS_EXPORT std::string_view describe(KeyStatus status) noexcept;

/// What checking a key source found: the status and, when the archive could
/// be opened, its certificate.
struct ORVALIS_EXPORT KeyCheck {
    KeyStatus status = KeyStatus::NotFound;        ///< Loaded, or why there is no key.
    std::optional<CertificateReport> certificate;  ///< Set whenever the archive opened and holds a certificate
                                                   ///< (for NoKeyWithCertificate, its first one).
};

}  // namespace orvalis
