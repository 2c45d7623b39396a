#include "TestPki.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace orvalis::testsupport {
namespace {

[[noreturn]] void fail(const std::string& what) {
    unsigned long e = ERR_get_error();
    char buf[256] = {0};
    if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    throw std::runtime_error("test PKI: " + what + (e ? std::string(": ") + buf : std::string()));
}

template <class T>
T* check(T* p, const char* what) {
    if (p == nullptr) fail(what);
    return p;
}

void check(int rc, const char* what) {
    if (rc <= 0) fail(what);
}

PKeyPtr keygen(const char* type, const char* param, std::size_t bits) {
    EVP_PKEY* k =
        param ? EVP_PKEY_Q_keygen(nullptr, nullptr, type, param) : EVP_PKEY_Q_keygen(nullptr, nullptr, type, bits);
    return PKeyPtr(check(k, "key generation"));
}

// RC2 lives in the legacy provider; a context of our own keeps the test
// process's default context untouched, like the library does.
OSSL_LIB_CTX* legacyContext() {
    static OSSL_LIB_CTX* ctx = [] {
        OSSL_LIB_CTX* c = check(OSSL_LIB_CTX_new(), "library context");
        check(OSSL_PROVIDER_load(c, "default"), "default provider");
        check(OSSL_PROVIDER_load(c, "legacy"), "legacy provider");
        return c;
    }();
    return ctx;
}

struct DefaultContextScope {
    explicit DefaultContextScope(OSSL_LIB_CTX* ctx) : previous(OSSL_LIB_CTX_set0_default(ctx)) {}
    ~DefaultContextScope() { OSSL_LIB_CTX_set0_default(previous); }
    OSSL_LIB_CTX* previous;
};

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = check(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()), "certificate extension");
    int rc = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    check(rc, "add extension");
}

X509Ptr buildCert(EVP_PKEY* key, const CertOptions& o, X509* issuerCert, EVP_PKEY* issuerKey) {
    X509Ptr cert(check(X509_new(), "X509_new"));
    check(X509_set_version(cert.get(), 2), "version");
    check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), o.serial), "serial");
    check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), static_cast<long>(o.notBeforeOffset)) ? 1 : 0, "notBefore");
    check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(o.notAfterOffset)) ? 1 : 0, "notAfter");
    check(X509_set_pubkey(cert.get(), key), "public key");
    X509_NAME* name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(o.commonName.c_str()), -1, -1, 0),
          "common name");
    X509* issuer = issuerCert ? issuerCert : cert.get();
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer)), "issuer");
    addExtension(cert.get(), issuer, NID_basic_constraints, o.isCA ? "critical,CA:TRUE" : "CA:FALSE");
    addExtension(cert.get(), issuer, NID_key_usage,
                 o.isCA ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment");
    addExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
    if (issuerCert) addExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always");
    std::string san;
    for (const auto& d : o.dnsNames) san += (san.empty() ? "" : ",") + std::string("DNS:") + d;
    for (const auto& ip : o.ipAddresses) san += (san.empty() ? "" : ",") + std::string("IP:") + ip;
    if (!san.empty()) addExtension(cert.get(), issuer, NID_subject_alt_name, san);
    check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()), "certificate signature");
    return cert;
}

std::string toDer(PKCS12* p12) {
    int len = i2d_PKCS12(p12, nullptr);
    check(len, "PKCS#12 encoding");
    std::string out(static_cast<std::size_t>(len), '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(out.data());
    check(i2d_PKCS12(p12, &p), "PKCS#12 encoding");
    return out;
}

struct Entry {
    EVP_PKEY* key;
    X509* cert;
};

std::string buildP12(const std::vector<Entry>& entries, const std::vector<X509*>& extraCerts,
                     const std::string& password, P12Form form) {
    const bool legacy = form == P12Form::Legacy;
    OSSL_LIB_CTX* libctx = legacy ? legacyContext() : nullptr;
    DefaultContextScope scope(libctx ? libctx : OSSL_LIB_CTX_get0_global_default());
    const int keyNid = legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : NID_aes_256_cbc;
    const int certNid = legacy ? NID_pbe_WithSHA1And40BitRC2_CBC : NID_aes_256_cbc;
    const char* pass = password.c_str();

    STACK_OF(PKCS12_SAFEBAG)* certBags = nullptr;
    STACK_OF(PKCS12_SAFEBAG)* keyBags = nullptr;
    STACK_OF(PKCS7)* safes = nullptr;
    PKCS12* p12 = nullptr;
    auto cleanup = [&] {
        sk_PKCS12_SAFEBAG_pop_free(certBags, PKCS12_SAFEBAG_free);
        sk_PKCS12_SAFEBAG_pop_free(keyBags, PKCS12_SAFEBAG_free);
        sk_PKCS7_pop_free(safes, PKCS7_free);
        PKCS12_free(p12);
    };
    try {
        for (const Entry& e : entries) {
            unsigned char keyId[EVP_MAX_MD_SIZE];
            unsigned int keyIdLen = 0;
            if (e.cert) {
                check(X509_digest(e.cert, EVP_sha1(), keyId, &keyIdLen), "key id");
                PKCS12_SAFEBAG* bag = check(PKCS12_add_cert(&certBags, e.cert), "certificate bag");
                if (e.key) check(PKCS12_add_localkeyid(bag, keyId, static_cast<int>(keyIdLen)), "key id");
            }
            if (e.key) {
                PKCS12_SAFEBAG* bag =
                    check(PKCS12_add_key_ex(&keyBags, e.key, 0, PKCS12_DEFAULT_ITER, keyNid, pass, libctx, nullptr),
                          "key bag");
                if (e.cert) check(PKCS12_add_localkeyid(bag, keyId, static_cast<int>(keyIdLen)), "key id");
            }
        }
        for (X509* c : extraCerts) check(PKCS12_add_cert(&certBags, c), "certificate bag");
        if (certBags)
            check(PKCS12_add_safe_ex(&safes, certBags, certNid, PKCS12_DEFAULT_ITER, pass, libctx, nullptr),
                  "certificate safe");
        if (keyBags) check(PKCS12_add_safe_ex(&safes, keyBags, -1, 0, nullptr, libctx, nullptr), "key safe");
        p12 = check(PKCS12_add_safes_ex(safes, 0, libctx, nullptr), "PKCS#12");
        check(PKCS12_set_mac(p12, pass, -1, nullptr, 0, PKCS12_DEFAULT_ITER, legacy ? EVP_sha1() : EVP_sha256()),
              "PKCS#12 MAC");
        std::string der = toDer(p12);
        cleanup();
        return der;
    } catch (...) {
        cleanup();
        throw;
    }
}

template <class Write>
std::string toPem(Write write) {
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(check(BIO_new(BIO_s_mem()), "BIO"), &BIO_free);
    check(write(bio.get()), "PEM");
    char* data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

}  // namespace

PKeyPtr makeRsaKey(int bits) { return keygen("RSA", nullptr, static_cast<std::size_t>(bits)); }
PKeyPtr makeEcKey() { return keygen("EC", "P-256", 0); }
PKeyPtr makeRsaPssKey(int bits) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        check(EVP_PKEY_CTX_new_from_name(nullptr, "RSA-PSS", nullptr), "RSA-PSS context"), &EVP_PKEY_CTX_free);
    check(EVP_PKEY_keygen_init(ctx.get()), "RSA-PSS keygen");
    check(EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits), "RSA-PSS bits");
    EVP_PKEY* k = nullptr;
    check(EVP_PKEY_keygen(ctx.get(), &k), "RSA-PSS keygen");
    return PKeyPtr(k);
}

EVP_PKEY* sharedRsaKey(int bits) {
    static std::mutex m;
    static std::map<int, PKeyPtr>* keys = new std::map<int, PKeyPtr>();  // lives until exit
    std::lock_guard lock(m);
    auto& slot = (*keys)[bits];
    if (!slot) slot = makeRsaKey(bits);
    return slot.get();
}

CertOptions localhostCertOptions() {
    CertOptions o;
    o.commonName = "localhost";
    o.dnsNames = {"localhost"};
    o.ipAddresses = {"127.0.0.1", "::1"};
    return o;
}

X509Ptr makeSelfSignedCert(EVP_PKEY* key, const CertOptions& options) {
    return buildCert(key, options, nullptr, nullptr);
}

X509Ptr makeSignedCert(EVP_PKEY* key, const CertOptions& options, X509* issuerCert, EVP_PKEY* issuerKey) {
    return buildCert(key, options, issuerCert, issuerKey);
}

Identity makeRsaIdentity(int bits, const std::string& commonName) {
    Identity id;
    id.key = makeRsaKey(bits);
    CertOptions o;
    o.commonName = commonName;
    id.cert = makeSelfSignedCert(id.key.get(), o);
    return id;
}

Identity makeSharedRsaIdentity(int bits, const std::string& commonName) {
    Identity id;
    EVP_PKEY* k = sharedRsaKey(bits);
    check(EVP_PKEY_up_ref(k), "key reference");
    id.key.reset(k);
    CertOptions o;
    o.commonName = commonName;
    id.cert = makeSelfSignedCert(k, o);
    return id;
}

Identity makeTestCA(const std::string& commonName) {
    Identity ca;
    ca.key = makeRsaKey(2048);
    CertOptions o;
    o.commonName = commonName;
    o.isCA = true;
    o.notAfterOffset = 10LL * 365 * 24 * 3600;
    ca.cert = makeSelfSignedCert(ca.key.get(), o);
    return ca;
}

Identity makeIssuedIdentity(const Identity& ca, const CertOptions& options) {
    Identity id;
    id.key = makeRsaKey(2048);
    id.cert = makeSignedCert(id.key.get(), options, ca.cert.get(), ca.key.get());
    return id;
}

std::string makeP12(EVP_PKEY* key, X509* cert, const std::string& password, P12Form form,
                    const std::vector<X509*>& extraCerts) {
    std::vector<Entry> entries;
    if (key || cert) entries.push_back({key, cert});
    return buildP12(entries, extraCerts, password, form);
}

std::string makeP12WithIdentities(const std::vector<const Identity*>& identities, const std::string& password,
                                  P12Form form) {
    std::vector<Entry> entries;
    for (const Identity* id : identities) entries.push_back({id->key.get(), id->cert.get()});
    return buildP12(entries, {}, password, form);
}

std::string certPem(X509* cert) {
    return toPem([&](BIO* b) { return PEM_write_bio_X509(b, cert); });
}

std::string privateKeyPem(EVP_PKEY* key) {
    return toPem([&](BIO* b) { return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
}

std::string publicKeyPem(EVP_PKEY* key) {
    return toPem([&](BIO* b) { return PEM_write_bio_PUBKEY(b, key); });
}

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "orvalis-test-XXXXXX").string();
    if (::mkdtemp(templ.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::filesystem::path TempDir::write(const std::string& name, std::string_view bytes) const {
    std::filesystem::path p = path_ / name;
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(p.c_str(), "wb"), &std::fclose);
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
        throw std::runtime_error("cannot write " + p.string());
    return p;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return std::nullopt;
    std::size_t pad = 0;
    if (!text.empty() && text.back() == '=') ++pad;
    if (text.size() > 1 && text[text.size() - 2] == '=') ++pad;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

bool verifyPkcs1Signature(X509* cert, std::string_view data, std::string_view sig, const char* digest) {
    EVP_PKEY* pub = X509_get0_pubkey(cert);
    if (pub == nullptr) return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_PKEY_CTX* pctx = nullptr;
    if (!ctx || EVP_DigestVerifyInit_ex(ctx.get(), &pctx, digest, nullptr, nullptr, pub, nullptr) != 1) return false;
    if (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) != 1) return false;
    int rc = EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                              reinterpret_cast<const unsigned char*>(data.data()), data.size());
    ERR_clear_error();
    return rc == 1;
}

int rsaModulusBytes(EVP_PKEY* key) { return EVP_PKEY_get_size(key); }

}  // namespace orvalis::testsupport
