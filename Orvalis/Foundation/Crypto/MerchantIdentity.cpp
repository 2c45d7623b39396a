#include <Orvalis/Foundation/Crypto/detail/CryptoContext.h>
#include <Orvalis/Foundation/Crypto/detail/Handles.h>
#include <Orvalis/Foundation/Crypto/MerchantIdentity.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>

namespace orvalis {
namespace {

using detail::PKCS12Ptr;
using detail::X509Ptr;
using detail::BioPtr;
using detail::BignumPtr;
using ASN1TimePtr = std::unique_ptr<ASN1_TIME, detail::Deleter<ASN1_TIME_free>>;

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

std::string nameText(const X509_NAME* name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    // RFC 2253 order and escaping, but UTF-8 kept as it is.
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) return {};
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

std::string serialText(const ASN1_INTEGER* serial) {
    BignumPtr bn(ASN1_INTEGER_to_BN(serial, nullptr));
    if (!bn) return {};
    char* hex = BN_bn2hex(bn.get());
    if (hex == nullptr) return {};
    std::string out(hex);
    OPENSSL_free(hex);
    if (out == "0") out = "00";
    return out;
}

std::int64_t secondsSince1970(const ASN1_TIME* t) {
    ASN1TimePtr epoch(ASN1_TIME_set(nullptr, 0));
    int days = 0, seconds = 0;
    if (!epoch || ASN1_TIME_diff(&days, &seconds, epoch.get(), t) != 1) return 0;
    return static_cast<std::int64_t>(days) * 86400 + seconds;
}

}  // namespace

CertificateReport detail::certificateReport(X509* cert) {
    EVP_PKEY* key = X509_get0_pubkey(cert);
    CertificateReport r;
    r.subject = nameText(X509_get_subject_name(cert));
    r.issuer = nameText(X509_get_issuer_name(cert));
    r.serialNumber = serialText(X509_get0_serialNumber(cert));
    r.notBefore = secondsSince1970(X509_get0_notBefore(cert));
    r.notAfter = secondsSince1970(X509_get0_notAfter(cert));
    const char* type = key != nullptr ? EVP_PKEY_get0_type_name(key) : nullptr;
    r.keyType = type != nullptr ? type : "unknown";
    r.keyBits = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
    return r;
}

namespace {

PKCS12Identity failed(PKCS12ImportStatus status) {
    detail::discardCryptoErrors();
    PKCS12Identity out;
    out.status = status;
    return out;
}

}  // namespace

PKCS12Identity importPKCS12Identity(std::string_view der, const std::string& password) {
    OSSL_LIB_CTX* ctx = detail::cryptoLibraryContext();
    if (ctx == nullptr || der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX))
        return failed(PKCS12ImportStatus::WrongPasswordOrDamaged);
    ThreadDefaultContext scope(ctx);

    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    PKCS12Ptr p12(d2i_PKCS12(nullptr, &p, static_cast<long>(der.size())));
    if (!p12) return failed(PKCS12ImportStatus::WrongPasswordOrDamaged);

    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawCa = nullptr;
    int ok = PKCS12_parse(p12.get(), password.c_str(), &rawKey, &rawCert, &rawCa);
    PrivateKey key(rawKey);
    X509Ptr cert(rawCert);
    CertStackPtr ca(rawCa);
    if (ok != 1) return failed(PKCS12ImportStatus::WrongPasswordOrDamaged);
    // An identity is a key with its certificate: a bare key is not one. The
    // archive did open, so its first certificate (matched to no key, hence
    // among the others) is still reported: a host sees which one it holds.
    if (!key || !cert) {
        PKCS12Identity out = failed(PKCS12ImportStatus::NoIdentity);
        if (ca && sk_X509_num(ca.get()) > 0) out.certificate = detail::certificateReport(sk_X509_value(ca.get(), 0));
        detail::discardCryptoErrors();
        return out;
    }

    PKCS12Identity out;
    out.certificate = detail::certificateReport(cert.get());
    // The private key's own type: an archive may pair a key with a certificate of another.
    const char* keyType = EVP_PKEY_get0_type_name(key.get());
    out.certificate->keyType = keyType != nullptr ? keyType : "unknown";
    out.certificate->keyBits = EVP_PKEY_get_bits(key.get());
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    if (X509_digest(cert.get(), EVP_sha256(), md, &mdLength) == 1)
        out.certificateDigest.assign(reinterpret_cast<const char*>(md), mdLength);
    detail::discardCryptoErrors();
    out.status = PKCS12ImportStatus::Imported;
    out.key = std::move(key);
    return out;
}

std::string certificateTimeText(std::int64_t secondsSince1970) {
    using namespace std::chrono;
    const sys_seconds t{seconds(secondsSince1970)};
    const sys_days day = floor<days>(t);
    const year_month_day ymd(day);
    const hh_mm_ss<seconds> time(t - day);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::string processLocalSecretDigest(std::string_view secret) {
    // The HMAC keyed once per process, so that a request pays for two hash blocks
    // rather than the algorithm's set-up.
    struct KeyedMac {
        EVP_MAC_CTX* ctx = nullptr;
        KeyedMac() {
            unsigned char key[32];
            EVP_MAC* mac = EVP_MAC_fetch(detail::cryptoLibraryContext(), "HMAC", nullptr);
            char digestName[] = "SHA256";
            const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digestName, 0), OSSL_PARAM_END};
            if (mac != nullptr && RAND_bytes_ex(detail::cryptoLibraryContext(), key, sizeof key, 0) == 1) {
                ctx = EVP_MAC_CTX_new(mac);
                if (ctx != nullptr && EVP_MAC_init(ctx, key, sizeof key, params) != 1) {
                    EVP_MAC_CTX_free(ctx);
                    ctx = nullptr;
                }
            }
            OPENSSL_cleanse(key, sizeof key);
            EVP_MAC_free(mac);
            detail::discardCryptoErrors();
        }
    };
    static const KeyedMac keyed;  // never freed: it may be used until the library context goes
    if (keyed.ctx == nullptr) return {};
    // Each thread keeps a copy and sets it back to the keyed state per digest (an
    // init without a key): cheaper than a copy made and freed per digest.
    thread_local std::unique_ptr<EVP_MAC_CTX, detail::Deleter<EVP_MAC_CTX_free>> ctx;
    if (!ctx) ctx.reset(EVP_MAC_CTX_dup(keyed.ctx));
    std::string out(32, '\0');
    std::size_t outLength = 0;
    if (!ctx || EVP_MAC_init(ctx.get(), nullptr, 0, nullptr) != 1 ||
        EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(secret.data()), secret.size()) != 1 ||
        EVP_MAC_final(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &outLength, out.size()) != 1 ||
        outLength != out.size()) {
        detail::discardCryptoErrors();
        ctx.reset();  // made again from the keyed one next time
        return {};
    }
    return out;
}

}  // namespace orvalis
