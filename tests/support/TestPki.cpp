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
#include <type_traits>

namespace orvalis::testsupport {
namespace {

// OpenSSL reports failure as a null pointer or a count <= 0.
template <class T>
T check(T result, const char* what) {
    if constexpr (std::is_pointer_v<T>) {
        if (result != nullptr) return result;
    } else if (result > 0) {
        return result;
    }
    char text[256] = "";
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERR_clear_error();
    throw std::runtime_error(std::string("test PKI: ") + what + ": " + text);
}

}  // namespace

X509Ptr makeSignedCert(EVP_PKEY* key, const CertOptions& o, X509* issuerCert, EVP_PKEY* issuerKey) {
    X509Ptr cert(check(X509_new(), "X509_new"));
    X509* c = cert.get();
    X509* issuer = issuerCert ? issuerCert : c;
    check(X509_set_version(c, 2) && ASN1_INTEGER_set(X509_get_serialNumber(c), o.serial) &&
              X509_gmtime_adj(X509_getm_notBefore(c), static_cast<long>(o.notBeforeOffset)) &&
              X509_gmtime_adj(X509_getm_notAfter(c), static_cast<long>(o.notAfterOffset)) && X509_set_pubkey(c, key) &&
              X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(o.commonName.c_str()), -1, -1, 0) &&
              X509_set_issuer_name(c, X509_get_subject_name(issuer)),
          "certificate fields");
    std::string san;
    for (const auto& d : o.dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + d;
    for (const auto& ip : o.ipAddresses) san += (san.empty() ? "IP:" : ",IP:") + ip;
    const std::pair<int, std::string> extensions[] = {
        {NID_basic_constraints, o.isCA ? "critical,CA:TRUE" : "CA:FALSE"},
        {NID_key_usage, o.isCA ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,keyEncipherment"},
        {NID_subject_key_identifier, "hash"},
        {NID_authority_key_identifier, issuerCert ? "keyid:always" : ""},
        {NID_subject_alt_name, san}};
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, c, nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
        if (value.empty()) continue;
        X509_EXTENSION* ext = check(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()), "extension");
        int added = X509_add_ext(c, ext, -1);
        X509_EXTENSION_free(ext);
        check(added, "add extension");
    }
    check(X509_sign(c, issuerKey ? issuerKey : key, EVP_sha256()), "certificate signature");
    return cert;
}
X509Ptr makeSelfSignedCert(EVP_PKEY* key, const CertOptions& options) { return makeSignedCert(key, options, nullptr, nullptr); }

namespace {

// Everything built on the way to an archive, freed on every path.
struct P12Parts {
    STACK_OF(PKCS12_SAFEBAG) * certBags = nullptr;
    STACK_OF(PKCS12_SAFEBAG) * keyBags = nullptr;
    STACK_OF(PKCS7) * safes = nullptr;
    PKCS12* p12 = nullptr;
    ~P12Parts() {
        sk_PKCS12_SAFEBAG_pop_free(certBags, PKCS12_SAFEBAG_free);
        sk_PKCS12_SAFEBAG_pop_free(keyBags, PKCS12_SAFEBAG_free);
        sk_PKCS7_pop_free(safes, PKCS7_free);
        PKCS12_free(p12);
    }
};

std::string buildP12(const std::vector<std::pair<EVP_PKEY*, X509*>>& entries, const std::vector<X509*>& extraCerts,
                     const std::string& password, P12Form form) {
    // RC2 lives in the legacy provider: a context of our own keeps the test
    // process's default context untouched, as the library does.
    static OSSL_LIB_CTX* const legacyContext = [] {
        OSSL_LIB_CTX* c = check(OSSL_LIB_CTX_new(), "library context");
        check(OSSL_PROVIDER_load(c, "default") && OSSL_PROVIDER_load(c, "legacy"), "providers");
        return c;
    }();
    const bool legacy = form == P12Form::Legacy;
    OSSL_LIB_CTX* libctx = legacy ? legacyContext : nullptr;
    const char* pass = password.c_str();
    P12Parts p;
    for (const auto& [key, cert] : entries) {
        unsigned char id[EVP_MAX_MD_SIZE];
        unsigned int idLength = 0;
        if (cert) check(X509_digest(cert, EVP_sha1(), id, &idLength), "key id");
        PKCS12_SAFEBAG* certBag = cert ? check(PKCS12_add_cert(&p.certBags, cert), "certificate bag") : nullptr;
        PKCS12_SAFEBAG* keyBag =
            key ? check(PKCS12_add_key_ex(&p.keyBags, key, 0, PKCS12_DEFAULT_ITER,
                                          legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : NID_aes_256_cbc, pass,
                                          libctx, nullptr),
                        "key bag")
                : nullptr;
        for (PKCS12_SAFEBAG* bag : {certBag, keyBag})
            if (key && cert) check(PKCS12_add_localkeyid(bag, id, static_cast<int>(idLength)), "key id");
    }
    for (X509* c : extraCerts) check(PKCS12_add_cert(&p.certBags, c), "certificate bag");
    if (p.certBags)
        check(PKCS12_add_safe_ex(&p.safes, p.certBags, legacy ? NID_pbe_WithSHA1And40BitRC2_CBC : NID_aes_256_cbc,
                                 PKCS12_DEFAULT_ITER, pass, libctx, nullptr),
              "certificate safe");
    if (p.keyBags) check(PKCS12_add_safe_ex(&p.safes, p.keyBags, -1, 0, nullptr, libctx, nullptr), "key safe");
    p.p12 = check(PKCS12_add_safes_ex(p.safes, 0, libctx, nullptr), "PKCS#12");
    check(PKCS12_set_mac(p.p12, pass, -1, nullptr, 0, PKCS12_DEFAULT_ITER, legacy ? EVP_sha1() : EVP_sha256()),
          "PKCS#12 MAC");
    std::string der(static_cast<std::size_t>(check(i2d_PKCS12(p.p12, nullptr), "PKCS#12 size")), '\0');
    unsigned char* out = reinterpret_cast<unsigned char*>(der.data());
    check(i2d_PKCS12(p.p12, &out), "PKCS#12 encoding");
    return der;
}

template <class Write>
std::string pem(Write write) {
    std::unique_ptr<BIO, FreeWith<BIO_free>> bio(check(BIO_new(BIO_s_mem()), "BIO"));
    check(write(bio.get()), "PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);  // before data is read: argument order is unspecified
    return std::string(data, static_cast<std::size_t>(size));
}

PKeyPtr keygen(const char* type, int bits) {
    return PKeyPtr(check(EVP_PKEY_Q_keygen(nullptr, nullptr, type, static_cast<std::size_t>(bits)), type));
}

Identity selfSigned(PKeyPtr key, const std::string& commonName, bool isCA = false) {
    CertOptions o;
    o.commonName = commonName;
    o.isCA = isCA;
    if (isCA) o.notAfterOffset = 10LL * 365 * 24 * 3600;
    X509Ptr cert = makeSelfSignedCert(key.get(), o);
    return Identity{std::move(key), std::move(cert)};
}

PKeyPtr makeRsaKey(int bits) { return keygen("RSA", bits); }

}  // namespace

PKeyPtr makeRsaPssKey(int bits) {
    std::unique_ptr<EVP_PKEY_CTX, FreeWith<EVP_PKEY_CTX_free>> ctx(
        check(EVP_PKEY_CTX_new_from_name(nullptr, "RSA-PSS", nullptr), "RSA-PSS context"));
    EVP_PKEY* key = nullptr;
    check(EVP_PKEY_keygen_init(ctx.get()) > 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) > 0 &&
              EVP_PKEY_keygen(ctx.get(), &key) > 0,
          "RSA-PSS key");
    return PKeyPtr(key);
}
PKeyPtr makeEcKey() { return PKeyPtr(check(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), "EC key")); }

EVP_PKEY* sharedRsaKey(int bits) {
    static std::mutex m;
    static auto* keys = new std::map<int, PKeyPtr>();  // lives until exit
    std::lock_guard lock(m);
    PKeyPtr& slot = (*keys)[bits];
    if (!slot) slot = makeRsaKey(bits);
    return slot.get();
}

CertOptions localhostCertOptions() {
    CertOptions o;
    o.dnsNames = {"localhost"};
    o.ipAddresses = {"127.0.0.1", "::1"};
    return o;
}


Identity makeRsaIdentity(int bits, const std::string& commonName) { return selfSigned(makeRsaKey(bits), commonName); }
Identity makeSharedRsaIdentity(int bits, const std::string& commonName) {
    EVP_PKEY* key = sharedRsaKey(bits);
    check(EVP_PKEY_up_ref(key), "key reference");
    return selfSigned(PKeyPtr(key), commonName);
}
Identity makeTestCA(const std::string& commonName) { return selfSigned(makeRsaKey(2048), commonName, true); }
Identity makeIssuedIdentity(const Identity& ca, const CertOptions& options) {
    PKeyPtr key = makeRsaKey(2048);
    X509Ptr cert = makeSignedCert(key.get(), options, ca.cert.get(), ca.key.get());
    return Identity{std::move(key), std::move(cert)};
}

std::string makeP12(EVP_PKEY* key, X509* cert, const std::string& password, P12Form form,
                    const std::vector<X509*>& extraCerts) {
    if (!key && !cert) return buildP12({}, extraCerts, password, form);
    return buildP12({{key, cert}}, extraCerts, password, form);
}
std::string makeP12WithIdentities(const std::vector<const Identity*>& identities, const std::string& password,
                                  P12Form form) {
    std::vector<std::pair<EVP_PKEY*, X509*>> entries;
    for (const Identity* id : identities) entries.emplace_back(id->key.get(), id->cert.get());
    return buildP12(entries, {}, password, form);
}

std::string certPem(X509* cert) { return pem([&](BIO* b) { return PEM_write_bio_X509(b, cert); }); }
std::string privateKeyPem(EVP_PKEY* key) {
    return pem([&](BIO* b) { return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
}

TempDir::TempDir() {
    std::string name = (std::filesystem::temp_directory_path() / "orvalis-test-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = name;
}
TempDir::~TempDir() { std::filesystem::remove_all(path_, ignored_); }
std::filesystem::path TempDir::write(const std::string& name, std::string_view bytes) const {
    std::filesystem::path p = path_ / name;
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(p.c_str(), "wb"), &std::fclose);
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
        throw std::runtime_error("cannot write " + p.string());
    return p;
}

std::optional<std::string> base64Decode(std::string_view text) {
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0 || text.size() % 4 != 0) return std::nullopt;
    out.resize(static_cast<std::size_t>(n) - (text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0));
    return out;  // EVP_DecodeBlock counted the padding as zero bytes
}

bool verifyPkcs1Signature(X509* cert, std::string_view data, std::string_view sig, const char* digest) {
    std::unique_ptr<EVP_MD_CTX, FreeWith<EVP_MD_CTX_free>> ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok =
        EVP_DigestVerifyInit_ex(ctx.get(), &pctx, digest, nullptr, nullptr, X509_get0_pubkey(cert), nullptr) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1 &&
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                         reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    ERR_clear_error();
    return ok;
}

}  // namespace orvalis::testsupport
