#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/Foundation/Crypto/detail/TokenKeys.h>
#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Utils/Crypto/KeySource.h>
#include <Orvalis/Utils/Crypto/detail/KeyLoader.h>

namespace orvalis {

struct KeySource::Secret {
    std::string bytes;
    // What the key cache knows these bytes by, taken once here rather than at every signature.
    std::string digest;
    explicit Secret(std::string_view b) : bytes(b), digest(orvalis::digest(DigestAlgorithm::SHA256, b).value_or("")) {}
    ~Secret() { detail::secureWipe(bytes.data(), bytes.size()); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
};

struct PinSource::Secret {
    std::string pin;
    explicit Secret(std::string_view p) : pin(p) {}
    ~Secret() { detail::secureWipe(pin.data(), pin.size()); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
};

PinSource PinSource::value(std::string_view pin) {
    PinSource s;
    s.kind_ = Kind::Value;
    s.value_ = std::make_shared<const Secret>(pin);
    return s;
}

PinSource PinSource::file(std::string path) {
    PinSource s;
    s.kind_ = Kind::File;
    s.path_ = std::move(path);
    return s;
}

PinSource PinSource::callback(Provider provider) {
    PinSource s;
    s.kind_ = Kind::Callback;
    if (provider) s.provider_ = std::make_shared<const Provider>(std::move(provider));
    return s;
}

std::optional<std::string> PinSource::read(const std::optional<std::string>& keyPassword) const {
    switch (kind_) {
        case Kind::KeyPassword:
            return keyPassword;
        case Kind::Value:
            return value_->pin;
        case Kind::File: {
            std::optional<std::string> bytes = detail::readWholeFile(path_);
            if (!bytes) return std::nullopt;
            // The first line; editors add a line feed (or CR LF).
            std::string pin = bytes->substr(0, bytes->find('\n'));
            if (!pin.empty() && pin.back() == '\r') pin.pop_back();
            detail::secureWipe(*bytes);
            return pin;
        }
        case Kind::Callback:
            try {
                return provider_ ? (*provider_)() : std::nullopt;
            } catch (...) {
                return std::nullopt;  // a provider that throws gives no PIN, like an empty one
            }
    }
    return std::nullopt;
}

namespace {

// Names and paths go into log lines: control bytes and non-ASCII are shown
// escaped, so that a NUL or a line feed cannot hide or forge a line.
std::string quoted(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            out += "\\x";
            out += kHex[u >> 4];
            out += kHex[u & 0x0F];
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

KeySource KeySource::resource(std::string name) { return KeySource(Kind::Resource, std::move(name)); }

KeySource KeySource::file(std::string path) { return KeySource(Kind::File, std::move(path)); }

KeySource KeySource::memory(std::string_view pkcs12) {
    KeySource s(Kind::Memory, std::string());
    s.bytes_ = std::make_shared<const Secret>(pkcs12);
    return s;
}

KeySource KeySource::callback(BytesProvider provider) {
    KeySource s(Kind::Callback, std::string());
    if (provider) s.provider_ = std::make_shared<const BytesProvider>(std::move(provider));
    return s;
}

KeySource KeySource::token(std::string uri, PinSource pin) {
    KeySource s(Kind::Token, std::move(uri));
    s.pin_ = std::move(pin);
    return s;
}

std::string KeySource::description() const {
    switch (kind_) {
        case Kind::Resource:
            return "resource " + quoted(location_);
        case Kind::File:
            return "file " + quoted(location_);
        case Kind::Memory:
            return "bytes in memory";
        case Kind::Callback:
            return "host callback";
        case Kind::Token:
            return "token " + searchedLocation();
    }
    return {};
}

std::string KeySource::searchedLocation() const {
    switch (kind_) {
        case Kind::Resource:
            return quoted(Bundle::mainBundle().resourcePath() + "/" + location_ + ".p12");
        case Kind::File:
            return quoted(location_);
        case Kind::Token: {
            // Never the URI as given: it may carry a pin-value.
            std::optional<std::string> shown = detail::tokenURIForDisplay(location_);
            return shown ? quoted(*shown) : "(not a PKCS#11 URI)";
        }
        case Kind::Memory:
        case Kind::Callback:
            break;
    }
    return {};
}

std::string_view detail::KeySourceAccess::memoryDigest(const KeySource& source) noexcept {
    return source.bytes_ ? std::string_view(source.bytes_->digest) : std::string_view();
}

std::string_view KeySource::bytes() const noexcept { return bytes_ ? std::string_view(bytes_->bytes) : std::string_view(); }

std::string_view describe(KeyStatus status) noexcept {
    switch (status) {
        case KeyStatus::Loaded:
            return "key loaded";
        case KeyStatus::NotPlainResourceName:
            return "name not a plain resource name";
        case KeyStatus::NotFound:
            return "file not found";
        case KeyStatus::Unreadable:
            return "file unreadable";
        case KeyStatus::NoPassword:
            return "no password given";
        case KeyStatus::WrongPasswordOrDamaged:
            return "wrong password or damaged file";
        case KeyStatus::NoKeyWithCertificate:
            return "no private key with its certificate in it";
        case KeyStatus::NotRSA:
            return "no RSA key in it";
        case KeyStatus::NotNamed:
            return "no key named";
        case KeyStatus::SigningFailed:
            return "the signature could not be made";
        case KeyStatus::NotTokenURI:
            return "not a PKCS#11 URI";
        case KeyStatus::ModuleNotLoaded:
            return "PKCS#11 module cannot be loaded";
        case KeyStatus::TokenAbsent:
            return "no token present matches";
        case KeyStatus::NoPIN:
            return "no PIN given";
        case KeyStatus::WrongPIN:
            return "wrong PIN";
        case KeyStatus::PINLocked:
            return "PIN locked";
        case KeyStatus::KeyNotInToken:
            return "no private key in the token matches";
        case KeyStatus::KeyAmbiguous:
            return "two or more keys in the token match";
        case KeyStatus::MechanismRefused:
            return "the key cannot sign with RSA PKCS#1 v1.5";
        case KeyStatus::TokenSessionLost:
            return "the token session was lost";
        case KeyStatus::TokenFailed:
            return "the token refused";
    }
    return "unknown";
}

}  // namespace orvalis
