#include <Orvalis/Foundation/Crypto/detail/CryptoContext.h>
#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Crypto/detail/SigningContexts.h>
#include <Orvalis/Foundation/Crypto/CryptoKey.h>
#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <climits>
#include <memory>

namespace orvalis {
namespace {

using detail::PKeyCtxPtr;
using detail::BignumPtr;

}  // namespace

PrivateKey& PrivateKey::operator=(PrivateKey&& other) noexcept {
    if (this != &other) {
        EVP_PKEY_free(key_);
        key_ = other.key_;
        other.key_ = nullptr;
    }
    return *this;
}

// In OpenSSL 3 the last EVP_PKEY_free of an RSA key frees its private
// components (d, p, q, the CRT values, blinding and Montgomery data) with
// BN_clear_free, which overwrites each number before freeing it.
PrivateKey::~PrivateKey() { EVP_PKEY_free(key_); }

PrivateKey PrivateKey::share() const noexcept {
    if (key_ == nullptr || EVP_PKEY_up_ref(key_) != 1) return PrivateKey();
    return PrivateKey(key_);
}

bool PrivateKey::isRSA() const noexcept {
    // RSA only: an RSA-PSS key would otherwise sign with PSS padding. Asked by
    // name: the numeric id walks every name of the key's type on each call.
    return key_ != nullptr && EVP_PKEY_is_a(key_, "RSA") == 1;
}

std::size_t PrivateKey::blockSize() const noexcept {
    if (key_ == nullptr) return 0;
    int n = EVP_PKEY_get_size(key_);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

PrivateKey importPKCS12PrivateKey(std::string_view der, const std::string& password) {
    return importPKCS12Identity(der, password).key;
}

std::optional<std::string> rawSignDigest(const PrivateKey& key, DigestAlgorithm algorithm,
                                         std::string_view digestBytes) {
    if (!key.isRSA() || digestBytes.size() != digestLength(algorithm)) return std::nullopt;
    PKeyCtxPtr ctx = detail::newSigningContext(key, algorithm);
    std::string sig(key.blockSize(), '\0');
    std::size_t sigLen = sig.size();
    if (!ctx || sig.empty() ||
        EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &sigLen,
                      reinterpret_cast<const unsigned char*>(digestBytes.data()), digestBytes.size()) != 1) {
        detail::discardCryptoErrors();
        return std::nullopt;
    }
    sig.resize(sigLen);
    return sig;
}

std::optional<std::string> rsaPublicModulus(const PrivateKey& key) {
    if (!key.isRSA()) return std::nullopt;
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &raw) != 1) {
        detail::discardCryptoErrors();
        return std::nullopt;
    }
    BignumPtr n(raw);
    std::string out(key.blockSize(), '\0');
    if (out.empty() ||
        BN_bn2binpad(n.get(), reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(out.size())) < 0) {
        detail::discardCryptoErrors();
        return std::nullopt;
    }
    return out;
}

}  // namespace orvalis
