#include <Orvalis/Foundation/Crypto/detail/CryptoContext.h>
#include <Orvalis/Foundation/Crypto/detail/SigningContexts.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

namespace orvalis::detail {
namespace {

// Enough for the threads that sign at once; more are made and freed as needed.
constexpr std::size_t kIdleContexts = 8;

}  // namespace

PKeyCtxPtr newSigningContext(const PrivateKey& key, DigestAlgorithm algorithm) {
    PKeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(cryptoLibraryContext(), key.get(), nullptr));
    // Padding PKCS#1 v1.5 with a signature digest set: OpenSSL wraps the
    // digest in that hash's DigestInfo before padding (block type 1).
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), algorithm == DigestAlgorithm::SHA1 ? EVP_sha1() : EVP_sha256()) != 1) {
        discardCryptoErrors();
        return nullptr;
    }
    return ctx;
}

std::optional<std::string> SigningContexts::sign(DigestAlgorithm algorithm, std::string_view digestBytes) {
    if (!key_.isRSA() || digestBytes.size() != digestLength(algorithm)) return std::nullopt;
    std::vector<PKeyCtxPtr>& idle = idle_[algorithm == DigestAlgorithm::SHA1 ? 0 : 1];
    PKeyCtxPtr ctx;
    {
        std::lock_guard lock(mutex_);
        if (!idle.empty()) {
            ctx = std::move(idle.back());
            idle.pop_back();
        }
    }
    if (!ctx) ctx = newSigningContext(key_, algorithm);
    std::string sig(key_.blockSize(), '\0');
    std::size_t sigLen = sig.size();
    if (!ctx || sig.empty() ||
        EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &sigLen,
                      reinterpret_cast<const unsigned char*>(digestBytes.data()), digestBytes.size()) != 1) {
        discardCryptoErrors();
        return std::nullopt;  // a context that failed once is not used again
    }
    sig.resize(sigLen);
    std::lock_guard lock(mutex_);
    if (idle.size() < kIdleContexts) idle.push_back(std::move(ctx));
    return sig;
}

}  // namespace orvalis::detail
