// Checks that the generated test PKI really has the shapes other tests rely on.
#include <TestPki.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <ctime>

using namespace orvalis::testsupport;

namespace {

struct Parsed {
    bool ok = false;
    PKeyPtr key;
    X509Ptr cert;
    int caCount = 0;
};

// Parses with the process's default library context (no legacy provider).
Parsed parseWithDefaultContext(const std::string& der, const char* pass) {
    Parsed r;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    PKCS12* p12 = d2i_PKCS12(nullptr, &p, static_cast<long>(der.size()));
    if (!p12) return r;
    EVP_PKEY* k = nullptr;
    X509* c = nullptr;
    STACK_OF(X509)* ca = nullptr;
    r.ok = PKCS12_parse(p12, pass, &k, &c, &ca) == 1;
    r.key.reset(k);
    r.cert.reset(c);
    r.caCount = ca ? sk_X509_num(ca) : 0;
    sk_X509_pop_free(ca, X509_free);
    PKCS12_free(p12);
    ERR_clear_error();
    return r;
}

}  // namespace

TEST(TestPki, DefaultFormParsesAndLegacyFormNeedsTheLegacyProvider) {
    Identity id = makeSharedRsaIdentity(2048);
    Parsed modern = parseWithDefaultContext(makeP12(id.key.get(), id.cert.get(), "pw"), "pw");
    ASSERT_TRUE(modern.ok);
    EXPECT_EQ(EVP_PKEY_eq(modern.key.get(), id.key.get()), 1);
    EXPECT_EQ(X509_cmp(modern.cert.get(), id.cert.get()), 0);
    EXPECT_FALSE(parseWithDefaultContext(makeP12(id.key.get(), id.cert.get(), "pw"), "other").ok);
    // RC2-40 is not in the default provider: proves the file is really the legacy form.
    EXPECT_FALSE(parseWithDefaultContext(makeP12(id.key.get(), id.cert.get(), "pw", P12Form::Legacy), "pw").ok);
}

TEST(TestPki, OddArchivesHaveTheAdvertisedContent) {
    Identity a = makeSharedRsaIdentity(1024, "first");
    Identity b = makeRsaIdentity(1024, "second");
    Parsed two = parseWithDefaultContext(makeP12WithIdentities({&a, &b}, "pw"), "pw");
    ASSERT_TRUE(two.ok);
    EXPECT_EQ(EVP_PKEY_eq(two.key.get(), a.key.get()), 1);

    Parsed certsOnly = parseWithDefaultContext(makeP12(nullptr, a.cert.get(), "pw"), "pw");
    ASSERT_TRUE(certsOnly.ok);
    EXPECT_EQ(certsOnly.key, nullptr);

    Parsed keyOnly = parseWithDefaultContext(makeP12(a.key.get(), nullptr, "pw"), "pw");
    ASSERT_TRUE(keyOnly.ok);
    EXPECT_NE(keyOnly.key, nullptr);
    EXPECT_EQ(keyOnly.cert, nullptr);

    Parsed empty = parseWithDefaultContext(makeP12(a.key.get(), a.cert.get(), ""), "");
    EXPECT_TRUE(empty.ok);
}

TEST(TestPki, IssuedCertificatesCarryNamesDatesAndChain) {
    Identity ca = makeTestCA();
    CertOptions o = localhostCertOptions();
    o.notBeforeOffset = -7200;
    o.notAfterOffset = -3600;  // already expired
    Identity server = makeIssuedIdentity(ca, o);
    EXPECT_EQ(X509_check_host(server.cert.get(), "localhost", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(server.cert.get(), "127.0.0.1", 0), 1);
    EXPECT_EQ(X509_check_ip_asc(server.cert.get(), "::1", 0), 1);
    EXPECT_NE(X509_check_host(server.cert.get(), "example.org", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_issued(ca.cert.get(), server.cert.get()), X509_V_OK);
    std::time_t now = std::time(nullptr);
    EXPECT_LT(X509_cmp_time(X509_get0_notAfter(server.cert.get()), &now), 0);
    EXPECT_NE(certPem(server.cert.get()).find("BEGIN CERTIFICATE"), std::string::npos);
    EXPECT_NE(privateKeyPem(server.key.get()).find("-----BEGIN " "PRIVATE KEY-----"), std::string::npos);
}

TEST(TestPki, NonRsaKeysAreOfTheirOwnType) {
    EXPECT_EQ(EVP_PKEY_get_base_id(makeEcKey().get()), EVP_PKEY_EC);
    EXPECT_EQ(EVP_PKEY_get_base_id(makeRsaPssKey(2048).get()), EVP_PKEY_RSA_PSS);
}
