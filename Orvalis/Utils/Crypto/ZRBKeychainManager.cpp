#include <Orvalis/Foundation/Bundle.h>
#include <Orvalis/Foundation/CryptoDigest.h>
#include <Orvalis/Foundation/File.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/SecureMemory.h>
#include <Orvalis/Utils/Crypto/ZRBKeychainManager.h>

namespace orvalis {
namespace {

// The file holds the encrypted key: wipe our copy whatever happens.
struct WipedBytes {
    std::string bytes;
    ~WipedBytes() { secureWipe(bytes.data(), bytes.size()); }
};

std::optional<std::string> signWith(DigestAlgorithm algorithm, std::string_view data, const PrivateKey& key) {
    if (!key.isRSA()) return std::nullopt;
    std::optional<std::string> d = digest(algorithm, data);
    if (!d) return std::nullopt;
    return rawSignDigest(key, algorithm, *d);
}

}  // namespace

ZRBKeychainManager& ZRBKeychainManager::sharedInstance() {
    static ZRBKeychainManager instance;
    return instance;
}

PrivateKey ZRBKeychainManager::getPrivateKey(const std::optional<std::string>& keyFileName,
                                             const std::optional<std::string>& P12Password) const {
    // A NUL would cut the file name short and open some other file.
    if (!keyFileName || !P12Password || keyFileName->find('\0') != std::string::npos) return PrivateKey();
    std::optional<std::string> path = Bundle::mainBundle().pathForResource(*keyFileName, "p12");
    if (!path) return PrivateKey();
    WipedBytes file;
    if (auto bytes = readWholeFile(*path))
        file.bytes = std::move(*bytes);
    else
        return PrivateKey();
    return importPKCS12PrivateKey(file.bytes, *P12Password);
}

std::optional<std::string> ZRBKeychainManager::RSASHA1Signature(std::string_view data,
                                                                const PrivateKey& andPrivateKey) const {
    return signWith(DigestAlgorithm::SHA1, data, andPrivateKey);
}

std::optional<std::string> ZRBKeychainManager::RSASHA256Signature(std::string_view data,
                                                                  const PrivateKey& andPrivateKey) const {
    return signWith(DigestAlgorithm::SHA256, data, andPrivateKey);
}

std::string ZRBKeychainManager::keychainErrorToString(std::int32_t status) const {
    switch (status) {
        case 0:
            return "success";
        case -25299:
            return "error item already exists";
        case -25300:
            return "error item not found";
        case -25293:
            return "error item authentication failed";
        default:
            return std::to_string(static_cast<long>(status));
    }
}

void ZRBKeychainManager::printKey(const PrivateKey& key) const {
    std::optional<std::string> modulus = rsaPublicModulus(key);
    log("Key : " + (modulus ? base64Encode(*modulus) : std::string("(null)")));
}

}  // namespace orvalis
