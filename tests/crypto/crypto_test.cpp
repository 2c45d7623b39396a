#include <Orvalis/Foundation/Bundle.h>
#include <Orvalis/Foundation/CryptoDigest.h>
#include <Orvalis/Foundation/CryptoKey.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Utils/Crypto/ZRBCryptoHelper.h>
#include <Orvalis/Utils/Crypto/ZRBKeychainManager.h>
#include <TestPki.h>
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

// Points the main bundle at a fresh directory of key files for one test.
class KeyFiles : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = Bundle::mainBundle().resourcePath();
        Bundle::mainBundle().setResourcePath(dir_.path().string());
    }
    void TearDown() override { Bundle::mainBundle().setResourcePath(previous_); }
    void add(const std::string& name, const std::string& bytes) { dir_.write(name + ".p12", bytes); }

    TempDir dir_;
    ZRBCryptoHelper helper_;
    ZRBKeychainManager& keychain_ = ZRBKeychainManager::sharedInstance();

private:
    std::string previous_;
};

std::string rsaModulusOf(X509* cert) {
    BIGNUM* n = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(X509_get0_pubkey(cert), OSSL_PKEY_PARAM_RSA_N, &n), 1);
    std::string out(static_cast<std::size_t>(BN_num_bytes(n)), '\0');
    BN_bn2bin(n, reinterpret_cast<unsigned char*>(out.data()));
    BN_free(n);
    return out;
}

}  // namespace

TEST(Digest, MatchesPublishedVectorsAsBase64) {
    struct Case {
        std::string text, sha1, sha256;
    };
    const Case cases[] = {
        {"", "2jmj7l5rSw0yVb/vlWAYkK/YBwk=", "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU="},
        {"abc", "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=", "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0="},
        {"\xC3\xA9", "vxW+cXrBsIC08cRWaSgliR/1Bz0=", "SplVfkAzw1Od4utlRyAXytX5VX96BiWgnxw/biumnEw="},
        {"Gr\xC3\xBC\xC3\x9F"
         "e, \xE4\xB8\x96\xE7\x95\x8C",
         "PlchUpvOsYA5fTCLH89N3NE1Utk=", "SYN0NHFqpvaRcQTLuoK9W46CqXDdxb/ve8xF49bqYLY="},
    };
    ZRBCryptoHelper h;
    for (const Case& c : cases) {
        EXPECT_EQ(h.getSHA1HASH(c.text), c.sha1) << c.text;
        EXPECT_EQ(h.getSHA256HASH(c.text), c.sha256) << c.text;
    }
    // A NUL byte is data like any other.
    EXPECT_NE(h.getSHA1HASH(std::string("a\0b", 3)), h.getSHA1HASH("a"));
}

TEST(Base64, PadsAndNeverBreaksLines) {
    const std::pair<std::string, std::string> rfc4648[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [in, out] : rfc4648) EXPECT_EQ(base64Encode(in), out);
    std::string big;
    for (int i = 0; i < 5000; ++i) big.push_back(static_cast<char>(i * 7));
    std::string enc = base64Encode(big);
    EXPECT_EQ(enc.find('\n'), std::string::npos);
    EXPECT_EQ(enc.size(), 4 * ((big.size() + 2) / 3));
    EXPECT_EQ(base64Decode(enc), big);
}

TEST_F(KeyFiles, SignaturesVerifyForEveryKeySizeAndHash) {
    struct Case {
        int bits;
        std::size_t base64Length;
    };
    const std::string text = "POST&https%3A%2F%2Fh%2Fp&a%3D\xC3\xA9";
    for (Case c : {Case{1024, 172}, Case{2048, 344}, Case{4096, 684}}) {
        Identity id = makeSharedRsaIdentity(c.bits);
        const std::string name = "k" + std::to_string(c.bits);
        add(name, makeP12(id.key.get(), id.cert.get(), "pw"));
        for (bool sha256 : {false, true}) {
            SCOPED_TRACE(std::to_string(c.bits) + (sha256 ? " SHA-256" : " SHA-1"));
            auto sign = [&](const std::string& t) {
                return sha256 ? helper_.RSASHA256SSignature(t, name, "pw") : helper_.RSASHA1SSignature(t, name, "pw");
            };
            std::optional<std::string> sig = sign(text);
            ASSERT_TRUE(sig);
            EXPECT_EQ(sig->size(), c.base64Length);
            EXPECT_EQ(sig->find('\n'), std::string::npos);
            EXPECT_EQ(sign(text), sig) << "PKCS#1 v1.5 signatures are deterministic";
            auto raw = base64Decode(*sig);
            ASSERT_TRUE(raw);
            EXPECT_EQ(raw->size(), static_cast<std::size_t>(c.bits / 8));
            EXPECT_TRUE(verifyPkcs1Signature(id.cert.get(), text, *raw, sha256 ? "SHA256" : "SHA1"));
            EXPECT_FALSE(verifyPkcs1Signature(id.cert.get(), text + " ", *raw, sha256 ? "SHA256" : "SHA1"));
            EXPECT_FALSE(verifyPkcs1Signature(id.cert.get(), text, *raw, sha256 ? "SHA1" : "SHA256"));
            // The empty text still gets a full-length signature.
            std::optional<std::string> empty = sign("");
            ASSERT_TRUE(empty);
            EXPECT_EQ(empty->size(), c.base64Length);
            EXPECT_TRUE(verifyPkcs1Signature(id.cert.get(), "", *base64Decode(*empty), sha256 ? "SHA256" : "SHA1"));
        }
    }
}

TEST_F(KeyFiles, DefaultAndLegacyArchivesImportWithoutTouchingTheGlobalContext) {
    Identity id = makeSharedRsaIdentity(2048);
    add("modern", makeP12(id.key.get(), id.cert.get(), "secret", P12Form::Default));
    add("legacy", makeP12(id.key.get(), id.cert.get(), "secret", P12Form::Legacy));
    for (const char* name : {"modern", "legacy"}) {
        PrivateKey key = keychain_.getPrivateKey(std::string(name), std::string("secret"));
        ASSERT_TRUE(key) << name;
        EXPECT_EQ(EVP_PKEY_eq(key.get(), X509_get0_pubkey(id.cert.get())), 1) << name;
        EXPECT_EQ(key.blockSize(), 256u);
        auto sig = keychain_.RSASHA256Signature("data", key);
        ASSERT_TRUE(sig) << name;
        EXPECT_EQ(sig->size(), 256u);
        EXPECT_TRUE(verifyPkcs1Signature(id.cert.get(), "data", *sig, "SHA256"));
    }
    // The host's own context never got the legacy provider, and this thread's
    // default context is the global one again.
    EXPECT_EQ(OSSL_PROVIDER_available(nullptr, "legacy"), 0);
    OSSL_LIB_CTX* current = OSSL_LIB_CTX_set0_default(nullptr);
    EXPECT_EQ(current, OSSL_LIB_CTX_get0_global_default());
    EXPECT_EQ(ERR_peek_error(), 0u) << "no OpenSSL error left behind";
}

TEST_F(KeyFiles, FirstOfTwoIdentitiesSigns) {
    Identity first = makeSharedRsaIdentity(1024, "first");
    Identity second = makeRsaIdentity(1024, "second");
    add("two", makeP12WithIdentities({&first, &second}, "pw"));
    auto sig = helper_.RSASHA1SSignature("text", std::string("two"), std::string("pw"));
    ASSERT_TRUE(sig);
    EXPECT_TRUE(verifyPkcs1Signature(first.cert.get(), "text", *base64Decode(*sig), "SHA1"));
    EXPECT_FALSE(verifyPkcs1Signature(second.cert.get(), "text", *base64Decode(*sig), "SHA1"));
}

TEST_F(KeyFiles, EmptyPasswordImportsButAbsentPasswordDoesNot) {
    Identity id = makeSharedRsaIdentity(1024);
    add("open", makeP12(id.key.get(), id.cert.get(), ""));
    add("open-legacy", makeP12(id.key.get(), id.cert.get(), "", P12Form::Legacy));
    EXPECT_TRUE(keychain_.getPrivateKey(std::string("open"), std::string("")));
    EXPECT_TRUE(keychain_.getPrivateKey(std::string("open-legacy"), std::string("")));
    EXPECT_FALSE(keychain_.getPrivateKey(std::string("open"), std::nullopt));
    EXPECT_FALSE(keychain_.getPrivateKey(std::nullopt, std::string("")));
    EXPECT_FALSE(helper_.RSASHA1SSignature("x", std::string("open"), std::nullopt));
}

TEST_F(KeyFiles, BadFilesGiveNoKeyAndNoSignature) {
    Identity id = makeSharedRsaIdentity(1024);
    const std::string good = makeP12(id.key.get(), id.cert.get(), "pw");
    std::string flipped = good;
    flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x01);
    std::string flippedTail = good;
    flippedTail[flippedTail.size() - 3] = static_cast<char>(flippedTail[flippedTail.size() - 3] ^ 0x80);
    const std::pair<std::string, std::string> files[] = {
        {"truncated", good.substr(0, good.size() / 2)},
        {"one-byte-short", good.substr(0, good.size() - 1)},
        {"flipped", flipped},
        {"flipped-mac", flippedTail},
        {"garbage", std::string(3000, '\x5A')},
        {"empty", ""},
        {"pem", certPem(id.cert.get()) + privateKeyPem(id.key.get())},
        {"certs-only", makeP12(nullptr, id.cert.get(), "pw")},
        {"key-only", makeP12(id.key.get(), nullptr, "pw")},
    };
    add("good", good);
    for (const auto& [name, bytes] : files) add(name, bytes);

    const std::pair<std::string, std::string> attempts[] = {{"good", "wrong"},  {"good", "PW"},
                                                            {"missing", "pw"},  {"", "pw"},
                                                            {"good.p12", "pw"}, {std::string("good\0x", 6), "pw"}};
    for (const auto& [name, pass] : attempts) {
        EXPECT_FALSE(keychain_.getPrivateKey(name, pass)) << name << "/" << pass;
        EXPECT_FALSE(helper_.RSASHA1SSignature("t", name, pass)) << name;
        EXPECT_FALSE(helper_.RSASHA256SSignature("t", name, pass)) << name;
    }
    for (const auto& [name, bytes] : files) {
        EXPECT_FALSE(keychain_.getPrivateKey(name, std::string("pw"))) << name;
        EXPECT_FALSE(helper_.RSASHA1SSignature("t", name, std::string("pw"))) << name;
    }
    EXPECT_EQ(ERR_peek_error(), 0u) << "failures leave no OpenSSL error behind";
    // The good file still works and digests never depend on keys.
    EXPECT_TRUE(helper_.RSASHA1SSignature("t", std::string("good"), std::string("pw")));
    EXPECT_EQ(helper_.getSHA1HASH("abc"), "qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
}

TEST_F(KeyFiles, OnlyPlainRsaKeysSign) {
    PKeyPtr ec = makeEcKey();
    X509Ptr ecCert = makeSelfSignedCert(ec.get());
    PKeyPtr pss = makeRsaPssKey(2048);
    X509Ptr pssCert = makeSelfSignedCert(pss.get());
    add("ec", makeP12(ec.get(), ecCert.get(), "pw"));
    add("pss", makeP12(pss.get(), pssCert.get(), "pw"));
    for (const char* name : {"ec", "pss"}) {
        PrivateKey key = keychain_.getPrivateKey(std::string(name), std::string("pw"));
        ASSERT_TRUE(key) << name << ": the import itself works";
        EXPECT_FALSE(key.isRSA());
        EXPECT_FALSE(keychain_.RSASHA1Signature("data", key)) << name;
        EXPECT_FALSE(keychain_.RSASHA256Signature("data", key)) << name;
        EXPECT_FALSE(helper_.RSASHA1SSignature("data", std::string(name), std::string("pw"))) << name;
    }
    PrivateKey none;
    EXPECT_FALSE(keychain_.RSASHA1Signature("data", none));
}

TEST(RawSign, RejectsDigestsOfTheWrongLength) {
    EVP_PKEY* k = sharedRsaKey(1024);
    ASSERT_EQ(EVP_PKEY_up_ref(k), 1);
    PrivateKey key(k);
    auto d = digest(DigestAlgorithm::SHA1, "x");
    ASSERT_TRUE(d);
    EXPECT_TRUE(rawSignDigest(key, DigestAlgorithm::SHA1, *d));
    EXPECT_FALSE(rawSignDigest(key, DigestAlgorithm::SHA256, *d));
    EXPECT_FALSE(rawSignDigest(key, DigestAlgorithm::SHA1, d->substr(1)));
    PrivateKey moved = std::move(key);
    EXPECT_FALSE(key);  // NOLINT(bugprone-use-after-move): a moved-from handle is empty by contract
    EXPECT_TRUE(moved);
}

TEST(Keychain, StatusTexts) {
    const std::pair<std::int32_t, std::string> cases[] = {
        {0, "success"},
        {-25299, "error item already exists"},
        {-25300, "error item not found"},
        {-25293, "error item authentication failed"},
        {-25298, "-25298"},
        {-25301, "-25301"},
        {-25292, "-25292"},
        {-25294, "-25294"},
        {1, "1"},
        {25299, "25299"},
        {INT32_MIN, "-2147483648"},
        {INT32_MAX, "2147483647"},
    };
    for (const auto& [status, text] : cases)
        EXPECT_EQ(ZRBKeychainManager::sharedInstance().keychainErrorToString(status), text);
}

TEST_F(KeyFiles, PrintKeyLogsThePublicModulusOnly) {
    Identity id = makeSharedRsaIdentity(2048);
    add("k", makeP12(id.key.get(), id.cert.get(), "pw"));
    std::vector<std::string> lines;
    setLogHandler([&](std::string_view l) { lines.emplace_back(l); });
    PrivateKey key = keychain_.getPrivateKey(std::string("k"), std::string("pw"));
    keychain_.printKey(key);
    keychain_.printKey(PrivateKey());
    resetLogHandler();
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(lines[0].rfind("Key : ", 0), 0u);
    EXPECT_EQ(base64Decode(lines[0].substr(6)), rsaModulusOf(id.cert.get()));
    EXPECT_EQ(lines[1], "Key : (null)");
}

TEST(Keychain, SharedInstanceIsOneObjectUnderConcurrentFirstCalls) {
    constexpr int kThreads = 32;
    std::latch start(kThreads);
    std::vector<ZRBKeychainManager*> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[static_cast<std::size_t>(i)] = &ZRBKeychainManager::sharedInstance();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<ZRBKeychainManager*>(seen.begin(), seen.end()).size(), 1u);
}

TEST_F(KeyFiles, ConcurrentSignaturesAllVerify) {
    Identity id = makeSharedRsaIdentity(1024);
    add("k", makeP12(id.key.get(), id.cert.get(), "pw", P12Form::Legacy));
    constexpr int kThreads = 6, kEach = 4;
    std::latch start(kThreads);
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            ZRBCryptoHelper h;
            start.arrive_and_wait();
            for (int i = 0; i < kEach; ++i) {
                std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
                auto sig = (i % 2) ? h.RSASHA256SSignature(text, std::string("k"), std::string("pw"))
                                   : h.RSASHA1SSignature(text, std::string("k"), std::string("pw"));
                if (sig && verifyPkcs1Signature(id.cert.get(), text, *base64Decode(*sig), (i % 2) ? "SHA256" : "SHA1"))
                    ++good;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), kThreads * kEach);
}
