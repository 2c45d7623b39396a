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
using pki::check;

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

std::string buildP12(
    const std::vector<std::pair<EVP_PKEY*, X509*>>& entries, const std::string& password, P12Form form) {
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
                            legacy ? NID_pbe_WithSHA1And3_Key_TripleDES_CBC : NID_aes_256_cbc, pass, libctx, nullptr),
                      "key bag")
                : nullptr;
        for (PKCS12_SAFEBAG* bag : {certBag, keyBag})
            if (key && cert) check(PKCS12_add_localkeyid(bag, id, static_cast<int>(idLength)), "key id");
    }
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

Identity selfSigned(PKeyPtr key, const std::string& commonName, bool isCA = false) {
    CertOptions o;
    o.commonName = commonName;
    o.isCA = isCA;
    if (isCA) o.notAfterOffset = 10LL * 365 * 24 * 3600;
    X509Ptr cert = makeSelfSignedCert(key.get(), o);
    return Identity{std::move(key), std::move(cert)};
}

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

EVP_PKEY* sharedRsaKey(int bits) {
    static std::mutex m;
    static auto* keys = new std::map<int, PKeyPtr>();  // lives until exit
    std::lock_guard lock(m);
    PKeyPtr& slot = (*keys)[bits];
    if (!slot) slot = pki::makeRsaKey(bits);
    return slot.get();
}

CertOptions localhostCertOptions() { return {.dnsNames = {"localhost"}, .ipAddresses = {"127.0.0.1", "::1"}}; }

Identity makeRsaIdentity(int bits, const std::string& commonName) {
    return selfSigned(pki::makeRsaKey(bits), commonName);
}
Identity makeSharedRsaIdentity(int bits, const std::string& commonName) {
    EVP_PKEY* key = sharedRsaKey(bits);
    check(EVP_PKEY_up_ref(key), "key reference");
    return selfSigned(PKeyPtr(key), commonName);
}
Identity makeTestCA(const std::string& commonName) { return selfSigned(pki::makeRsaKey(2048), commonName, true); }
Identity makeIssuedIdentity(const Identity& ca, const CertOptions& options) {
    PKeyPtr key = pki::makeRsaKey(2048);
    X509Ptr cert = makeSignedCert(key.get(), options, ca.cert.get(), ca.key.get());
    return Identity{std::move(key), std::move(cert)};
}

std::string makeP12(EVP_PKEY* key, X509* cert, const std::string& password, P12Form form) {
    return buildP12({{key, cert}}, password, form);
}
std::string makeP12WithIdentities(
    const std::vector<const Identity*>& identities, const std::string& password, P12Form form) {
    std::vector<std::pair<EVP_PKEY*, X509*>> entries;
    for (const Identity* id : identities) entries.emplace_back(id->key.get(), id->cert.get());
    return buildP12(entries, password, form);
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

Identity writeEcIdentity(const TempDir& dir, const std::string& name, const CertOptions& options, const Identity* ca) {
    PKeyPtr key = makeEcKey();
    X509Ptr cert = makeSignedCert(key.get(), options, ca ? ca->cert.get() : nullptr, ca ? ca->key.get() : nullptr);
    dir.write(name + ".pem", certPem(cert.get()));
    dir.write(name + ".key", privateKeyPem(key.get()));
    return Identity{std::move(key), std::move(cert)};
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
