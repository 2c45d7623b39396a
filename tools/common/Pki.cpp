#include "Pki.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <utility>

namespace orvalis::pki {
namespace {

template <class Write>
std::string pem(Write write) {
    std::unique_ptr<BIO, detail::Deleter<BIO_free>> bio(check(BIO_new(BIO_s_mem()), "BIO"));
    check(write(bio.get()), "PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);  // before data is read: argument order is unspecified
    return std::string(data, static_cast<std::size_t>(size));
}

std::pair<const char*, const char*> constraintsAndUsage(const CertOptions& o) {
    if (!o.isCA) return {"CA:FALSE", "critical,digitalSignature,keyEncipherment"};
    if (o.servesTLS) return {"critical,CA:TRUE,pathlen:0", "critical,digitalSignature,keyCertSign,cRLSign"};
    return {"critical,CA:TRUE", "critical,keyCertSign,cRLSign"};
}

void setSerial(X509* c, long serial) {
    std::uint64_t random = 0;
    if (serial == 0) check(RAND_bytes(reinterpret_cast<unsigned char*>(&random), sizeof random), "serial");
    check(serial == 0 ? ASN1_INTEGER_set_uint64(X509_get_serialNumber(c), random >> 1)
                      : ASN1_INTEGER_set(X509_get_serialNumber(c), serial),
          "serial");
}

}  // namespace

PKeyPtr makeEcKey() { return PKeyPtr(check(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), "EC key")); }

PKeyPtr makeRsaKey(int bits) {
    return PKeyPtr(check(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)), "RSA key"));
}

X509Ptr makeSignedCert(EVP_PKEY* key, const CertOptions& o, X509* issuerCert, EVP_PKEY* issuerKey) {
    X509Ptr cert(check(X509_new(), "X509_new"));
    X509* c = cert.get();
    X509* issuer = issuerCert ? issuerCert : c;
    setSerial(c, o.serial);
    check(X509_set_version(c, 2) && X509_gmtime_adj(X509_getm_notBefore(c), static_cast<long>(o.notBeforeOffset)) &&
              X509_gmtime_adj(X509_getm_notAfter(c), static_cast<long>(o.notAfterOffset)) && X509_set_pubkey(c, key) &&
              X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(o.commonName.c_str()), -1, -1, 0) &&
              X509_set_issuer_name(c, X509_get_subject_name(issuer)),
          "certificate fields");
    std::string san;
    for (const auto& d : o.dnsNames) san += (san.empty() ? "DNS:" : ",DNS:") + d;
    for (const auto& ip : o.ipAddresses) san += (san.empty() ? "IP:" : ",IP:") + ip;
    const auto [constraints, usage] = constraintsAndUsage(o);
    const std::pair<int, std::string> extensions[] = {{NID_basic_constraints, constraints},
                                                      {NID_key_usage, usage},
                                                      {NID_subject_key_identifier, "hash"},
                                                      {NID_authority_key_identifier, issuerCert ? "keyid:always" : ""},
                                                      {NID_subject_alt_name, san}};
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, c, nullptr, nullptr, 0);
    for (const auto& [nid, value] : extensions) {
        if (value.empty()) continue;
        X509_EXTENSION* ext = check(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()), "extension");
        const int added = X509_add_ext(c, ext, -1);
        X509_EXTENSION_free(ext);
        check(added, "add extension");
    }
    check(X509_sign(c, issuerKey ? issuerKey : key, EVP_sha256()), "certificate signature");
    return cert;
}

X509Ptr makeSelfSignedCert(EVP_PKEY* key, const CertOptions& options) {
    return makeSignedCert(key, options, nullptr, nullptr);
}

std::string certPem(X509* cert) { return pem([&](BIO* b) { return PEM_write_bio_X509(b, cert); }); }

std::string privateKeyPem(EVP_PKEY* key) {
    return pem([&](BIO* b) { return PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
}

}  // namespace orvalis::pki
