#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Utils/Crypto/ZRBKeychainManager.h>
#include <Orvalis/Utils/Crypto/detail/KeyLoader.h>

namespace orvalis {
namespace {

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
    if (!keyFileName) {
        log("Merchant key: no key: no key file name given");
        return PrivateKey();
    }
    return getPrivateKey(KeySource::resource(*keyFileName), P12Password);
}

PrivateKey ZRBKeychainManager::getPrivateKey(const KeySource& source,
                                             const std::optional<std::string>& P12Password) const {
    if (source.kind() == KeySource::Kind::Token) {
        log("Merchant key: no key from " + source.description() + ": a token key never comes into memory");
        return PrivateKey();
    }
    // A key that is not plain RSA still comes back, as before: signing refuses it.
    return detail::loadMerchantKey(source, P12Password, true).key;
}

KeyCheck ZRBKeychainManager::checkKey(const KeySource& source, const std::optional<std::string>& P12Password) const {
    return detail::checkMerchantKey(source, P12Password);
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
