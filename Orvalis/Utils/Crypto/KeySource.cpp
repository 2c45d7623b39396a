#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/Utils/Crypto/KeySource.h>

namespace orvalis {

struct KeySource::Secret {
    std::string bytes;
    explicit Secret(std::string_view b) : bytes(b) {}
    ~Secret() { detail::secureWipe(bytes.data(), bytes.size()); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
};

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
    }
    return {};
}

std::string KeySource::searchedLocation() const {
    switch (kind_) {
        case Kind::Resource:
            return quoted(Bundle::mainBundle().resourcePath() + "/" + location_ + ".p12");
        case Kind::File:
            return quoted(location_);
        case Kind::Memory:
        case Kind::Callback:
            break;
    }
    return {};
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
    }
    return "unknown";
}

}  // namespace orvalis
