#pragma once

#include <Orvalis/Foundation/Export.h>
#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis {

namespace detail {
struct KeySourceAccess;
}  // namespace detail

/// Where the PIN of a token key (KeySource::token) comes from when the token
/// asks for a login: once per token and process, and again after the token
/// was removed or its sessions were lost. The library's copy is wiped right
/// after the login and never logged. Copies share their text. Immutable, so any thread may use one.
class ORVALIS_EXPORT PinSource {
public:
    /// Returns the PIN, or no value when there is none. Called on the thread that
    /// signs, at login only; must be safe to call from any thread.
    using Provider = std::function<std::optional<std::string>()>;

    /// Which kind of source this is.
    enum class Kind {
        KeyPassword,  ///< The password given with the key (keyFilePassword, P12Password) is the PIN.
        Value,        ///< A PIN held by the source.
        File,         ///< The first line of a file (without its line end), read at each login.
        Callback,     ///< Asked of the host at each login.
    };

    /// The password given with the key is the PIN (the default).
    PinSource() = default;
    /// A copy of pin, wiped when the last copy of this source goes.
    static PinSource value(std::string_view pin);
    /// The first line of the file at path, read when a login needs it.
    static PinSource file(std::string path);
    /// provider's PIN, asked for when a login needs it. An empty provider gives no PIN.
    static PinSource callback(Provider provider);

    /// The kind of source.
    Kind kind() const noexcept { return kind_; }
    /// The PIN now: keyPassword for KeyPassword; no value when the file cannot be
    /// read or the callback gives none (or throws). The caller wipes what it gets.
    std::optional<std::string> read(const std::optional<std::string>& keyPassword) const;

private:
    struct Secret;
    Kind kind_ = Kind::KeyPassword;
    std::string path_;
    std::shared_ptr<const Secret> value_;
    std::shared_ptr<const Provider> provider_;
};

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
        Token,     ///< A key that never leaves a PKCS#11 token (smart card, HSM), named by a URI.
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
    /// The private key an RFC 7512 URI names in a PKCS#11 token, e.g.
    /// "pkcs11:token=shop;object=merchant;type=private?module-path=/usr/lib/x.so";
    /// without module-path (or with module-name) the modules p11-kit is configured
    /// with are searched. The key signs inside the token and never comes into
    /// memory. pin says where the PIN comes from (a pin-value or pin-source in
    /// the URI is never used). See docs/signing.md "Keys in tokens".
    static KeySource token(std::string uri, PinSource pin = {});

    /// The kind of source.
    Kind kind() const noexcept { return kind_; }
    /// The resource name, path or token URI; empty for memory and callback sources.
    const std::string& location() const noexcept { return location_; }
    /// A short text for log lines: `resource "merchant"`, `file "keys/m.p12"`,
    /// `bytes in memory`, `host callback`, `token "pkcs11:..."` (control bytes
    /// escaped; a token URI as p11-kit writes it, any PIN in it left out).
    std::string description() const;

    /// Where a key request looks, quoted and escaped like description(): the
    /// file's path, or for a resource its path in Bundle::mainBundle()'s
    /// resource directory at the time of the call; for a token its URI as in
    /// description(); "" for memory and callback sources.
    std::string searchedLocation() const;
    /// The bytes of a memory source (empty for other kinds).
    std::string_view bytes() const noexcept;
    /// The provider of a callback source (null for other kinds).
    const BytesProvider* provider() const noexcept { return provider_.get(); }
    /// Where a token source's PIN comes from (the default for other kinds).
    const PinSource& pin() const noexcept { return pin_; }

private:
    friend struct detail::KeySourceAccess;
    struct Secret;
    KeySource(Kind kind, std::string location) : kind_(kind), location_(std::move(location)) {}
    Kind kind_;
    std::string location_;
    std::shared_ptr<const Secret> bytes_;
    std::shared_ptr<const BytesProvider> provider_;
    PinSource pin_;
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
    // Keys in tokens (KeySource::token):
    NotTokenURI,        ///< Not a PKCS#11 URI (RFC 7512).
    ModuleNotLoaded,    ///< The URI's PKCS#11 module, or without module-path every configured one, cannot be loaded.
    TokenAbsent,        ///< No token present matches the URI (or it was removed).
    NoPIN,              ///< The token needs a login and the PIN source gave no PIN.
    WrongPIN,           ///< The token refused the PIN; the same PIN is not tried again, so as not to lock it.
    PINLocked,          ///< The token's user PIN is locked.
    KeyNotInToken,      ///< No private key in the token matches the URI.
    KeyAmbiguous,       ///< Two or more private keys match the URI: name one (object=, id=).
    MechanismRefused,   ///< The key cannot sign RSA PKCS#1 v1.5 over SHA-1 / SHA-256 (not RSA, sign not allowed).
    TokenSessionLost,   ///< The token closed the session mid-request; the next request logs in again.
    TokenFailed,        ///< The token refused for another reason (the log line names its code).
};

/// A short English text for status, as the log lines use it ("wrong password or damaged file").
ORVALIS_EXPORT std::string_view describe(KeyStatus status) noexcept;

/// What checking a key source found: the status and, when the archive could
/// be opened (or the token's certificate read), its certificate.
struct ORVALIS_EXPORT KeyCheck {
    KeyStatus status = KeyStatus::NotFound;        ///< Loaded, or why there is no key.
    std::optional<CertificateReport> certificate;  ///< Set whenever the archive opened and holds a certificate
                                                   ///< (for NoKeyWithCertificate, its first one).
    /// For a token key: whether the certificate beside it holds its public key
    /// (a PKCS#12 archive always pairs them).
    bool certificateMatchesKey = true;
};

}  // namespace orvalis
