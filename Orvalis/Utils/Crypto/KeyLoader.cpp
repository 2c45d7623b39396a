#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/System/Clock.h>
#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Foundation/System/detail/FileStamp.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <Orvalis/Foundation/Crypto/detail/TokenKeys.h>
#include <Orvalis/Utils/Crypto/KeyCache.h>
#include <Orvalis/Utils/Crypto/detail/KeyLoader.h>

#include <exception>
#include <filesystem>
#include <mutex>
#include <set>
#include <unordered_map>

namespace orvalis {
namespace {

// The archive's bytes hold the encrypted key: wipe our copy whatever happens.
struct WipedBytes {
    std::string bytes;
    WipedBytes() = default;
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;
    ~WipedBytes() { detail::secureWipe(bytes.data(), bytes.size()); }
};

struct CacheEntry {
    std::string passwordDigest;
    std::optional<detail::FileStamp> stamp;  // files only
    double importedAt = 0;
    PrivateKey key;
    std::shared_ptr<detail::SigningContexts> signer;  // kept and freed with the key
    std::optional<CertificateReport> certificate;
    std::string certificateDigest;
};

struct CacheState {
    std::mutex mutex;
    double lifetimeSeconds = 0;  // 0: off
    std::unordered_map<std::string, CacheEntry> entries;  // by source identity

    // Drops what has outlived its lifetime. A clock set back counts as expired:
    // a key is never kept longer than asked.
    void dropExpired(double now) {
        for (auto it = entries.begin(); it != entries.end();) {
            double age = now - it->second.importedAt;
            if (age < 0 || age >= lifetimeSeconds) {
                it = entries.erase(it);
            } else {
                ++it;
            }
        }
    }
};

CacheState& cacheState() {
    static CacheState state;
    return state;
}

// Once per certificate and process: a busy host would otherwise log the same
// line with every request.
void warnIfExpired(const KeySource& source, const CertificateReport& certificate, const std::string& digest) {
    if (currentTimeIntervalSince1970() <= static_cast<double>(certificate.notAfter)) return;
    static std::mutex mutex;
    static std::set<std::string> warned;
    {
        std::lock_guard lock(mutex);
        if (!warned.insert(digest.empty() ? certificate.subject + certificate.serialNumber : digest).second) return;
    }
    log("Merchant key: the certificate of " + source.description() + " (" + certificate.subject + ", serial " +
        certificate.serialNumber + ") expired on " + certificateTimeText(certificate.notAfter) +
        "; signing with it anyway");
}

detail::LoadedKey failure(const KeySource& source, KeyStatus status, std::string_view cause = {}) {
    log("Merchant key: no key from " + source.description() + ": " +
        std::string(cause.empty() ? describe(status) : cause));
    detail::LoadedKey out;
    out.status = status;
    return out;
}

detail::LoadedKey fromEntry(const KeySource& source, const CacheEntry& entry, bool forSigning) {
    detail::LoadedKey out;
    out.key = entry.key.share();
    out.signer = entry.signer;
    if (!forSigning) out.certificate = entry.certificate;  // a signature never shows it
    out.status = out.key.isRSA() ? KeyStatus::Loaded : KeyStatus::NotRSA;
    if (out.status == KeyStatus::NotRSA) log("Merchant key: no key from " + source.description() + ": " +
                                             std::string(describe(KeyStatus::NotRSA)));
    if (forSigning && entry.certificate) warnIfExpired(source, *entry.certificate, entry.certificateDigest);
    return out;
}

KeyStatus keyStatusOf(detail::TokenStatus status) {
    using detail::TokenStatus;
    switch (status) {
        case TokenStatus::Done: return KeyStatus::Loaded;
        case TokenStatus::NotURI: return KeyStatus::NotTokenURI;
        case TokenStatus::ModuleNotLoaded: return KeyStatus::ModuleNotLoaded;
        case TokenStatus::TokenAbsent: return KeyStatus::TokenAbsent;
        case TokenStatus::NoPIN: return KeyStatus::NoPIN;
        case TokenStatus::WrongPIN: return KeyStatus::WrongPIN;
        case TokenStatus::PINLocked: return KeyStatus::PINLocked;
        case TokenStatus::KeyNotFound: return KeyStatus::KeyNotInToken;
        case TokenStatus::KeyAmbiguous: return KeyStatus::KeyAmbiguous;
        case TokenStatus::MechanismRefused: return KeyStatus::MechanismRefused;
        case TokenStatus::SessionLost: return KeyStatus::TokenSessionLost;
        case TokenStatus::NoCertificate: return KeyStatus::NoKeyWithCertificate;
        case TokenStatus::Failed: break;
    }
    return KeyStatus::TokenFailed;
}

// The PIN is read only when the token asks for a login, and wiped by the token layer.
detail::PinReader pinReader(const KeySource& source, const std::optional<std::string>& password) {
    return [&source, &password] { return source.pin().read(password); };
}

KeyStatus tokenFailure(const KeySource& source, detail::TokenStatus status, const std::string& cause) {
    KeyStatus out = keyStatusOf(status);
    log("Merchant key: no key from " + source.description() + ": " + std::string(describe(out)) +
        (cause.empty() ? std::string() : " (" + cause + ")"));
    return out;
}

std::string absolutePath(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    return ec ? path : p.lexically_normal().string();
}

}  // namespace

KeyCache& KeyCache::sharedInstance() {
    static KeyCache cache;
    return cache;
}

bool KeyCache::setLifetime(std::chrono::milliseconds lifetime) {
    if (lifetime.count() < 0) return false;
    CacheState& s = cacheState();
    std::lock_guard lock(s.mutex);
    s.lifetimeSeconds = std::chrono::duration<double>(lifetime).count();
    if (s.lifetimeSeconds == 0) s.entries.clear();
    return true;
}

std::chrono::milliseconds KeyCache::lifetime() const {
    CacheState& s = cacheState();
    std::lock_guard lock(s.mutex);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(s.lifetimeSeconds));
}

void KeyCache::clear() {
    CacheState& s = cacheState();
    std::lock_guard lock(s.mutex);
    s.entries.clear();
}

std::size_t KeyCache::count() const {
    CacheState& s = cacheState();
    std::lock_guard lock(s.mutex);
    return s.entries.size();
}

namespace detail {

LoadedKey loadMerchantKey(const KeySource& source, const std::optional<std::string>& password, bool forSigning) {
    // Where the bytes are: a path for resources and files, else the bytes themselves.
    std::optional<std::string> path;
    std::optional<detail::FileStamp> fileFound;  // a file source's stamp, taken once
    WipedBytes fetched;
    std::string_view bytes;
    switch (source.kind()) {
        case KeySource::Kind::Resource:
            if (!Bundle::isPlainResourceName(source.location())) return failure(source, KeyStatus::NotPlainResourceName);
            // The file pathForResource would name, examined once: the stamp also says it is a regular file.
            path = (std::filesystem::path(Bundle::mainBundle().resourcePath()) / (source.location() + ".p12")).string();
            fileFound = detail::fileStamp(*path);
            if (!fileFound) return failure(source, KeyStatus::NotFound, "file not found in resources");
            break;
        case KeySource::Kind::File:
            if (!source.location().empty()) fileFound = detail::fileStamp(source.location());
            if (!fileFound) return failure(source, KeyStatus::NotFound);
            path = absolutePath(source.location());
            break;
        case KeySource::Kind::Memory:
            bytes = source.bytes();
            if (bytes.empty()) return failure(source, KeyStatus::NotFound, "no bytes given");
            break;
        case KeySource::Kind::Callback: {
            std::optional<std::string> given;
            try {
                if (source.provider() != nullptr) given = (*source.provider())();
            } catch (...) {
                given.reset();  // a provider that throws anything gives no key, like an empty one
            }
            if (given) {
                fetched.bytes = std::move(*given);
                detail::secureWipe(given->data(), given->capacity());
            }
            if (fetched.bytes.empty()) return failure(source, KeyStatus::NotFound, "the callback gave no bytes");
            bytes = fetched.bytes;
            break;
        }
        case KeySource::Kind::Token:
            return failure(source, KeyStatus::TokenFailed, "a token key never comes into memory");
    }
    if (!password) return failure(source, KeyStatus::NoPassword);

    CacheState& cache = cacheState();
    bool caching = false;
    std::string identity, passwordDigest;
    std::optional<detail::FileStamp> stamp;
    {
        std::lock_guard lock(cache.mutex);
        caching = cache.lifetimeSeconds > 0;
    }
    if (caching) {
        passwordDigest = processLocalSecretDigest(*password);
        if (path) {
            identity = "path:" + *path;
            stamp = fileFound ? fileFound : detail::fileStamp(*path);
        } else if (source.kind() == KeySource::Kind::Memory) {
            const std::string_view d = KeySourceAccess::memoryDigest(source);
            if (!d.empty()) identity = "bytes:" + std::string(d);
        } else if (auto d = digest(DigestAlgorithm::SHA256, bytes)) {
            identity = "bytes:" + *d;
        }
        caching = !passwordDigest.empty() && !identity.empty() && (!path || stamp);
    }
    if (caching) {
        std::lock_guard lock(cache.mutex);
        cache.dropExpired(currentTimeIntervalSince1970());
        auto it = cache.entries.find(identity);
        if (it != cache.entries.end() && it->second.passwordDigest == passwordDigest && it->second.stamp == stamp)
            return fromEntry(source, it->second, forSigning);
    }

    if (path) {
        std::optional<detail::StampedFile> file = detail::readStampedFile(*path);
        if (!file) return failure(source, KeyStatus::Unreadable);
        fetched.bytes = std::move(file->bytes);
        bytes = fetched.bytes;
        // The stamp of what was actually read: a file replaced in between is read again next time.
        stamp = file->stamp;
    }
    PKCS12Identity imported = importPKCS12Identity(bytes, *password);
    if (imported.status == PKCS12ImportStatus::WrongPasswordOrDamaged)
        return failure(source, KeyStatus::WrongPasswordOrDamaged);
    if (imported.status == PKCS12ImportStatus::NoIdentity) {
        detail::LoadedKey out = failure(source, KeyStatus::NoKeyWithCertificate);
        out.certificate = std::move(imported.certificate);  // a certificate without its key is still shown
        return out;
    }

    CacheEntry entry;
    entry.key = std::move(imported.key);
    entry.certificate = std::move(imported.certificate);
    entry.certificateDigest = std::move(imported.certificateDigest);
    entry.stamp = stamp;
    entry.passwordDigest = std::move(passwordDigest);
    if (caching && entry.key.isRSA()) entry.signer = std::make_shared<SigningContexts>(entry.key);
    LoadedKey out = fromEntry(source, entry, forSigning);
    if (caching) {
        std::lock_guard lock(cache.mutex);
        // Only while still on; one entry per source, so a new password replaces the old key.
        if (cache.lifetimeSeconds > 0) {
            entry.importedAt = currentTimeIntervalSince1970();
            cache.entries.insert_or_assign(identity, std::move(entry));
        }
    }
    return out;
}

MerchantSignature signWithMerchantKey(const KeySource& source, const std::optional<std::string>& password,
                                      DigestAlgorithm algorithm, std::string_view text) {
    MerchantSignature out;
    if (source.kind() == KeySource::Kind::Token) {
        TokenOutcome signed_ = tokenSign(source.location(), pinReader(source, password), algorithm, text);
        if (signed_.status != TokenStatus::Done) {
            out.status = tokenFailure(source, signed_.status, signed_.cause);
            return out;
        }
        out.status = KeyStatus::Loaded;
        out.signature = std::move(signed_.signature);
        return out;
    }
    // The key lives only for this signature; only the opt-in KeyCache keeps one longer.
    LoadedKey loaded = loadMerchantKey(source, password, true);
    out.status = loaded.status;
    if (loaded.status != KeyStatus::Loaded) return out;
    std::optional<std::string> d = digest(algorithm, text);
    if (d)
        out.signature = loaded.signer ? loaded.signer->sign(algorithm, *d) : rawSignDigest(loaded.key, algorithm, *d);
    if (!out.signature) out.status = KeyStatus::SigningFailed;
    return out;
}

KeyCheck checkMerchantKey(const KeySource& source, const std::optional<std::string>& password) {
    if (source.kind() != KeySource::Kind::Token) {
        LoadedKey loaded = loadMerchantKey(source, password, false);
        return KeyCheck{loaded.status, std::move(loaded.certificate)};
    }
    TokenCertificate read = tokenCertificate(source.location(), pinReader(source, password));
    KeyCheck out;
    out.certificate = std::move(read.certificate);
    out.certificateMatchesKey = read.keyMatches;
    out.status = read.status == TokenStatus::Done ? KeyStatus::Loaded : tokenFailure(source, read.status, read.cause);
    return out;
}

}  // namespace detail
}  // namespace orvalis
