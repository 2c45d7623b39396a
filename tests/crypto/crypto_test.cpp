#include <Orvalis/Foundation/Crypto/CryptoKey.h>
#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Utils/Crypto/ZRBCryptoHelper.h>
#include <Orvalis/Utils/Crypto/ZRBKeychainManager.h>
#include <TestPki.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/provider.h>

#include <filesystem>
#include <vector>

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

// Points the main bundle at a fresh directory of key files.
class KeyFiles : public ::testing::Test {
protected:
    void SetUp() override { Bundle::mainBundle().setResourcePath(dir_.path().string()); }
    void TearDown() override { Bundle::mainBundle().setResourcePath(previous_); }
    void add(const std::string& name, const std::string& bytes) { dir_.write(name + ".p12", bytes); }

    TempDir dir_;
    ZRBCryptoHelper helper_;
    ZRBKeychainManager& keychain_ = ZRBKeychainManager::sharedInstance();
    const std::string previous_ = Bundle::mainBundle().resourcePath();
};

// Of 4096 bits (the other sizes sign on the same path): a signature longer than one Base64 line comes whole.
TEST_F(KeyFiles, SignaturesAreFullLengthAndVerify) {
    Identity id = makeSharedRsaIdentity(4096);
    add("rsa", makeP12(id.key.get(), id.cert.get(), "pw"));
    const std::string text = "POST&https%3A%2F%2Fh%2Fp&a%3D\xC3\xA9", name = "rsa";
    for (const auto& [md, sig] : {std::pair{"SHA1", helper_.RSASHA1SSignature(text, name, "pw")},
             std::pair{"SHA256", helper_.RSASHA256SSignature(text, name, "pw")}}) {
        ASSERT_TRUE(sig) << md;
        EXPECT_EQ(sig->size(), 684u);  // Base64 on one line
        EXPECT_TRUE(verifyPkcs1Signature(id.cert.get(), text, base64Decode(*sig).value(), md));
    }
}

// Either archive form imports, without touching the host's OpenSSL context; of two identities the first one's key
// signs; an empty password is a password, an absent one is none.
TEST_F(KeyFiles, EitherFormImportsTheFirstOfTwoIdentitiesAndAnEmptyPasswordIsAPassword) {
    Identity first = makeSharedRsaIdentity(1024, "first"), second = makeRsaIdentity(1024, "second");
    add("modern", makeP12(first.key.get(), first.cert.get(), "secret", P12Form::Default));
    add("legacy", makeP12(first.key.get(), first.cert.get(), "", P12Form::Legacy));
    add("two", makeP12WithIdentities({&first, &second}, ""));
    for (auto [name, password] : {std::pair{"modern", "secret"}, {"legacy", ""}, {"two", ""}}) {
        auto sig = helper_.RSASHA256SSignature("data", std::string(name), std::string(password));
        // Verified under the first's certificate: so not the second's key, a key of its own.
        EXPECT_TRUE(sig && verifyPkcs1Signature(first.cert.get(), "data", base64Decode(*sig).value(), "SHA256"))
            << name;
    }
    EXPECT_FALSE(keychain_.getPrivateKey(std::string("two"), std::nullopt) ||
                 keychain_.getPrivateKey(std::nullopt, std::string("")) ||
                 helper_.RSASHA1SSignature("x", std::string("two"), std::nullopt));
    // The host's own context never got the legacy provider, and this thread's
    // default context is the global one again.
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
    EXPECT_EQ(OSSL_LIB_CTX_set0_default(nullptr), OSSL_LIB_CTX_get0_global_default());
    EXPECT_EQ(ERR_peek_error(), 0u) << "no OpenSSL error left behind";
}

TEST_F(KeyFiles, BadFilesAndNamesGiveNoKeyAndNoSignature) {
    Identity id = makeSharedRsaIdentity(1024);
    const std::string good = makeP12(id.key.get(), id.cert.get(), "pw");
    add("good", good);
    std::string flipped = good;
    flipped[good.size() / 2] ^= 0x01;
    // clang-format off
    const std::pair<std::string, std::string> files[] = {
        {"truncated", good.substr(0, good.size() / 2)}, {"flipped", flipped}, {"empty", ""},
        {"pem", certPem(id.cert.get()) + privateKeyPem(id.key.get())},
        {"certs-only", makeP12(nullptr, id.cert.get(), "pw")}, {"key-only", makeP12(id.key.get(), nullptr, "pw")}};
    // clang-format on
    // Names that leave the resource directory are rows of the key source tests.
    std::vector<std::pair<std::string, std::string>> attempts = {
        {"good", "wrong"}, {"good", "PW"}, {"missing", "pw"}, {"", "pw"}};
    for (const auto& [name, bytes] : files) add(name, bytes), attempts.emplace_back(name, "pw");
    for (const auto& [name, pass] : attempts) {
        EXPECT_FALSE(keychain_.getPrivateKey(name, pass)) << name << "/" << pass;
        EXPECT_FALSE(helper_.RSASHA1SSignature("t", name, pass)) << name;  // SHA-256 loads its key the same way
    }
    EXPECT_EQ(ERR_peek_error(), 0u) << "failures leave no OpenSSL error behind";
    EXPECT_TRUE(helper_.RSASHA1SSignature("t", std::string("good"), std::string("pw")));
}

TEST_F(KeyFiles, OnlyRegularFilesOfTheTypeAreResources) {
    std::filesystem::create_directories(dir_.path() / "sub.p12");  // a directory is not a resource
    add("key", "x");
    const Bundle& b = Bundle::mainBundle();
    EXPECT_TRUE(b.pathForResource("key", "p12"));
    EXPECT_FALSE(b.pathForResource("sub", "p12") || b.pathForResource("key", "xml"));
}

// An RSA-PSS key is RSA to look at, yet its own key type; an EC key is a row of the key source tests.
TEST_F(KeyFiles, OnlyPlainRsaKeysSign) {
    PKeyPtr pss = makeRsaPssKey(2048);
    add("pss", makeP12(pss.get(), makeSelfSignedCert(pss.get()).get(), "pw"));
    PrivateKey imported = keychain_.getPrivateKey(std::string("pss"), std::string("pw"));
    ASSERT_TRUE(imported) << "the import itself works";
    EXPECT_FALSE(imported.isRSA());
    EXPECT_FALSE(keychain_.RSASHA1Signature("data", imported) || keychain_.RSASHA256Signature("data", imported));
    EXPECT_FALSE(helper_.RSASHA1SSignature("data", std::string("pss"), std::string("pw")));
    EXPECT_FALSE(keychain_.RSASHA1Signature("data", PrivateKey()));
}

TEST_F(KeyFiles, PrintKeyLogsThePublicModulusOnly) {
    Identity id = makeSharedRsaIdentity(2048);
    add("k", makeP12(id.key.get(), id.cert.get(), "pw"));
    std::vector<std::string> lines;
    setLogHandler([&](std::string_view l) { lines.emplace_back(l); });
    keychain_.printKey(keychain_.getPrivateKey(std::string("k"), std::string("pw")));
    keychain_.printKey(PrivateKey());
    resetLogHandler();
    BIGNUM* n = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(id.key.get(), OSSL_PKEY_PARAM_RSA_N, &n), 1);
    std::string modulus(static_cast<std::size_t>(BN_num_bytes(n)), '\0');
    BN_bn2bin(n, reinterpret_cast<unsigned char*>(modulus.data())), BN_free(n);
    EXPECT_EQ(lines, (std::vector<std::string>{"Key : " + base64Encode(modulus), "Key : (null)"}));
}

}  // namespace
