#include <Orvalis/Foundation/Crypto/CryptoDigest.h>
#include <Orvalis/Utils/Crypto/ZRBCryptoHelper.h>
#include <Orvalis/Utils/Crypto/ZRBKeychainManager.h>
#include <Orvalis/Utils/Crypto/detail/KeyLoader.h>

namespace orvalis {
namespace {

std::optional<std::string> base64Digest(DigestAlgorithm algorithm, std::string_view text) {
    std::optional<std::string> d = digest(algorithm, text);
    if (!d) return std::nullopt;
    return base64Encode(*d);
}

using SignFn = std::optional<std::string> (ZRBKeychainManager::*)(std::string_view, const PrivateKey&) const;

template <class Source>
std::optional<std::string> base64Signature(SignFn sign, std::string_view text, const Source& keyFile,
                                           const std::optional<std::string>& password) {
    ZRBKeychainManager& keychain = ZRBKeychainManager::sharedInstance();
    // This handle lives only for this call; only the opt-in KeyCache keeps a key longer.
    PrivateKey key = keychain.getPrivateKey(keyFile, password);
    if (!key) return std::nullopt;
    std::optional<std::string> sig = (keychain.*sign)(text, key);
    if (!sig) return std::nullopt;
    return base64Encode(*sig);
}

// A key source signs in process or in its token, through the library's one signing path.
std::optional<std::string> base64Signature(DigestAlgorithm algorithm, std::string_view text, const KeySource& source,
                                           const std::optional<std::string>& password) {
    detail::MerchantSignature sig = detail::signWithMerchantKey(source, password, algorithm, text);
    if (!sig.signature) return std::nullopt;
    return base64Encode(*sig.signature);
}

}  // namespace

std::optional<std::string> ZRBCryptoHelper::getSHA1HASH(std::string_view text) const {
    return base64Digest(DigestAlgorithm::SHA1, text);
}

std::optional<std::string> ZRBCryptoHelper::getSHA256HASH(std::string_view text) const {
    return base64Digest(DigestAlgorithm::SHA256, text);
}

std::optional<std::string> ZRBCryptoHelper::RSASHA1SSignature(std::string_view text,
                                                              const std::optional<std::string>& keyFile,
                                                              const std::optional<std::string>& P12Password) const {
    return base64Signature(&ZRBKeychainManager::RSASHA1Signature, text, keyFile, P12Password);
}

std::optional<std::string> ZRBCryptoHelper::RSASHA256SSignature(std::string_view text,
                                                                const std::optional<std::string>& keyFile,
                                                                const std::optional<std::string>& P12Password) const {
    return base64Signature(&ZRBKeychainManager::RSASHA256Signature, text, keyFile, P12Password);
}

std::optional<std::string> ZRBCryptoHelper::RSASHA1SSignature(std::string_view text, const KeySource& keySource,
                                                              const std::optional<std::string>& P12Password) const {
    return base64Signature(DigestAlgorithm::SHA1, text, keySource, P12Password);
}

std::optional<std::string> ZRBCryptoHelper::RSASHA256SSignature(std::string_view text, const KeySource& keySource,
                                                                const std::optional<std::string>& P12Password) const {
    return base64Signature(DigestAlgorithm::SHA256, text, keySource, P12Password);
}

}  // namespace orvalis
