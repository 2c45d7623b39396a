#include <Orvalis/Foundation/CryptoContext.h>
#include <Orvalis/Foundation/CryptoKey.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>

namespace orvalis {
namespace {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};
using PKCS12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using PKeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;

struct CertStackFree {
    void operator()(STACK_OF(X509) * s) const noexcept { sk_X509_pop_free(s, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;

// PKCS12_parse has no library-context argument in OpenSSL 3.0: make our
// context this thread's default just for the call, then put the host's back.
class ThreadDefaultContext {
public:
    explicit ThreadDefaultContext(OSSL_LIB_CTX* ctx) noexcept : previous_(OSSL_LIB_CTX_set0_default(ctx)) {}
    ~ThreadDefaultContext() { OSSL_LIB_CTX_set0_default(previous_); }
    ThreadDefaultContext(const ThreadDefaultContext&) = delete;
    ThreadDefaultContext& operator=(const ThreadDefaultContext&) = delete;

private:
    OSSL_LIB_CTX* previous_;
};

PrivateKey failed() noexcept {
    detail::discardCryptoErrors();
    return PrivateKey();
}

}  // namespace

PrivateKey& PrivateKey::operator=(PrivateKey&& other) noexcept {
    if (this != &other) {
        EVP_PKEY_free(key_);
        key_ = other.key_;
        other.key_ = nullptr;
    }
    return *this;
}

PrivateKey::~PrivateKey() { EVP_PKEY_free(key_); }

bool PrivateKey::isRSA() const noexcept {
    // EVP_PKEY_RSA only: an RSA-PSS key would otherwise sign with PSS padding.
    return key_ != nullptr && EVP_PKEY_get_base_id(key_) == EVP_PKEY_RSA;
}

std::size_t PrivateKey::blockSize() const noexcept {
    if (key_ == nullptr) return 0;
    int n = EVP_PKEY_get_size(key_);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

PrivateKey importPKCS12PrivateKey(std::string_view der, const std::string& password) {
    OSSL_LIB_CTX* ctx = detail::cryptoLibraryContext();
    if (ctx == nullptr || der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) return failed();
    ThreadDefaultContext scope(ctx);

    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    PKCS12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(der.size())));
    if (!p12) return failed();

    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    int ok = PKCS12_parse(p12.get(), password.c_str(), &rawKey, &rawCert, &rawCa);
    PrivateKey key(rawKey);
    X509Ptr cert(rawCert);
    CertStackPtr ca(rawCa);
    // An identity is a key with its certificate: a bare key is not one.
    if (ok != 1 || !key || !cert) return failed();
    return key;
}

std::optional<std::string> rawSignDigest(const PrivateKey& key, DigestAlgorithm algorithm,
                                         std::string_view digestBytes) {
    if (!key.isRSA() || digestBytes.size() != digestLength(algorithm)) return std::nullopt;
    PKeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(detail::cryptoLibraryContext(), key.get(), nullptr));
    std::string sig(key.blockSize(), '\0');
    std::size_t sigLen = sig.size();
    // Padding PKCS#1 v1.5 with a signature digest set: OpenSSL wraps the
    // digest in that hash's DigestInfo before padding (block type 1).
    if (!ctx || sig.empty() || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), algorithm == DigestAlgorithm::SHA1 ? EVP_sha1() : EVP_sha256()) != 1 ||
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
