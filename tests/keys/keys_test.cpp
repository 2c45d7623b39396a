// Where merchant keys come from, why there is none, what their certificate
// says, and the opt-in key cache.
#include <CheckKey.h>
#include <Orvalis/Foundation/System/Clock.h>
#include <Orvalis/Foundation/System/TestSeams.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <SandboxWorld.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

using namespace orvalis;
namespace ts = orvalis::testsupport;

namespace {

const std::string kPw = ts::kSandboxPassword;

// Collects the key path's log lines (the transport's lines are left out).
struct KeyLog {
    std::vector<std::string> lines;  // written on the signing thread: the test's own
    KeyLog() {
        ts::sandboxWorld();
        setLogHandler([this](std::string_view l) {
            if (l.rfind("Merchant key", 0) == 0) lines.emplace_back(l);
        });
    }
    ~KeyLog() { setLogHandler(LogHandler()); }
};

std::string merchantP12() { return ts::sandboxWorld().file("merchant.p12"); }
auto sign(const KeySource& s, const std::string& pw) {
    return ZRBCryptoHelper().RSASHA1SSignature("base string", s, pw);
}

struct Row {
    std::string name;
    std::function<KeySource()> make;
    std::string password = kPw;
    std::string cause{};  // of the log line when there is no key; empty: the key signs
};

class KeySources : public ::testing::TestWithParam<Row> {};

// A key signs what the merchant's certificate verifies, quietly; without one there is no
// signature and one log line naming the cause, never the password.
TEST_P(KeySources, SignOrGiveOneLineNamingTheCauseWithoutThePassword) {
    KeyLog log;
    const Row& row = GetParam();
    const auto sig = sign(row.make(), row.password);
    if (row.cause.empty()) {
        ASSERT_TRUE(sig);
        const ts::Identity merchant = ts::makeSharedRsaIdentity(2048);  // the sandbox's key
        EXPECT_TRUE(ts::verifyPkcs1Signature(merchant.cert.get(), "base string", *ts::base64Decode(*sig), "SHA1"));
        EXPECT_TRUE(log.lines.empty());
        return;
    }
    EXPECT_FALSE(sig);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find(row.cause), std::string::npos) << log.lines[0];
    EXPECT_EQ(log.lines[0].find(row.password), std::string::npos) << log.lines[0];
}

Row nameRow(const char* row, std::function<std::string()> name) {
    return {row, [name] { return KeySource::resource(name()); }, kPw, "not a plain resource name"};
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Keys, KeySources,
    ::testing::Values(
        Row{"resource", [] { return KeySource::resource("merchant"); }},
        Row{"file", [] { return KeySource::file((ts::sandboxWorld().dir.path() / "merchant.p12").string()); }},
        Row{"memory", [] { return KeySource::memory(merchantP12()); }},
        Row{"callback", [] { return KeySource::callback([] { return std::optional(merchantP12()); }); }},
        // Damaged archives end on the same path: rows of the crypto tests' bad files.
        Row{"wrongPassword", [] { return KeySource::memory(merchantP12()); }, "wrong-pw!", "wrong password or damaged"},
        Row{"ecKey", [] {
                auto k = ts::makeEcKey();
                return KeySource::memory(ts::makeP12(k.get(), ts::makeSelfSignedCert(k.get()).get(), kPw));
            }, kPw, "no RSA key in it"},
        Row{"missingResource", [] { return KeySource::resource("absent"); }, kPw, "not found in resources"},
        Row{"callbackWithoutBytes", [] { return KeySource::callback([] { return std::nullopt; }); }, kPw,
            "callback gave no bytes"},
        nameRow("backslash", [] { return "..\\merchant"; }), nameRow("dotDot", [] { return ".."; }),
        nameRow("nulCutToARealFile", [] { return std::string("merchant.p12\0x", 14); }),
        nameRow("absolutePath", [] { return (ts::sandboxWorld().dir.path() / "merchant").string(); })),
    ts::RowName());
// clang-format on

// A certificate with known fields, issued by a test CA, valid from one day ago for sixty more days.
struct KnownCertificate {
    std::int64_t madeAt = static_cast<std::int64_t>(std::time(nullptr));
    ts::Identity ca = ts::makeTestCA("Orvalis Test CA");
    // clang-format off
    ts::Identity merchant = ts::makeIssuedIdentity(
        ca, {.commonName = "Shop Merchant", .dnsNames = {}, .ipAddresses = {}, .notBeforeOffset = -86400,
             .notAfterOffset = 60 * 86400, .isCA = false, .serial = 0x1A2B});
    // clang-format on
    std::string p12 = ts::makeP12(merchant.key.get(), merchant.cert.get(), kPw);
};
KnownCertificate& known() {
    static KnownCertificate k;
    return k;
}

// An archive holding the certificate alone opens too: it cannot sign, but its certificate is shown.
TEST(CertificateReport, GivesTheFieldsOfTheCertificateWithOrWithoutItsKey) {
    const std::string noKey = ts::makeP12(nullptr, known().merchant.cert.get(), kPw);
    for (auto [p12, status] : {std::pair(known().p12, KeyStatus::Loaded), {noKey, KeyStatus::NoKeyWithCertificate}}) {
        const KeyCheck check = ZRBKeychainManager::sharedInstance().checkKey(KeySource::memory(p12), kPw);
        const CertificateReport c = check.certificate.value();
        EXPECT_EQ(std::tie(check.status, c.subject, c.issuer, c.serialNumber, c.keyType, c.keyBits),
            std::tuple(status, "CN=Shop Merchant", "CN=Orvalis Test CA", "1A2B", "RSA", 2048));
        EXPECT_NEAR(static_cast<double>(c.notBefore), static_cast<double>(known().madeAt - 86400), 5);
        EXPECT_NEAR(static_cast<double>(c.notAfter), static_cast<double>(known().madeAt + 60 * 86400), 5);
    }
    EXPECT_EQ(certificateTimeText(86400 * 365 + 3661), "1971-01-01 01:01:01 UTC");
}

struct ClockRow {
    std::string name;
    double secondsFromEnd;  // the clock, relative to the certificate's end
    int exitStatus;
    std::string warning;
};

class ExpiryWarning : public ::testing::TestWithParam<ClockRow> {
protected:
    void TearDown() override { setClockForTesting(nullptr); }
};

TEST_P(ExpiryWarning, CheckKeyWarnsWithin30DaysAndAfterTheEnd) {
    const ts::TempDir dir;
    const std::string path = dir.write("m.p12", known().p12).string();
    const auto end =
        double(ZRBKeychainManager::sharedInstance().checkKey(KeySource::file(path), kPw).certificate->notAfter);
    setClockForTesting([&] { return end + GetParam().secondsFromEnd; });
    std::ostringstream out, err;
    EXPECT_EQ(tools::runCheckKey({"--check-key", "--key", path, "--password", kPw}, out, err), GetParam().exitStatus);
    EXPECT_NE(out.str().find("subject      CN=Shop Merchant"), std::string::npos) << out.str();
    if (GetParam().warning.empty()) EXPECT_EQ(err.str(), "");
    else EXPECT_NE(err.str().find(GetParam().warning), std::string::npos) << err.str();
}

INSTANTIATE_TEST_SUITE_P(Keys, ExpiryWarning,
    ::testing::Values(ClockRow{"monthsLeft", -40 * 86400.0, 0, ""},
        ClockRow{"thirtyDaysLeft", -30 * 86400.0, 3, "expires in 30 days"},
        ClockRow{"tenDaysLeft", -10 * 86400.0 - 60, 3, "expires in 10 days"},
        ClockRow{"expired", 2 * 86400.0 + 60, 3, "expired 2 days ago"},
        ClockRow{"notYetValid", -62 * 86400.0, 3, "not valid before"}),
    ts::RowName());

TEST_F(ExpiryWarning, SigningWithAnExpiredCertificateLogsOncePerKey) {
    KeyLog log;
    setClockForTesting([] { return static_cast<double>(known().madeAt + 61 * 86400); });
    const KeySource source = KeySource::memory(known().p12);
    for (int i = 0; i < 2; ++i) EXPECT_TRUE(sign(source, kPw));
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("CN=Shop Merchant, serial 1A2B) expired on"), std::string::npos) << log.lines[0];
    EXPECT_TRUE(sign(KeySource::resource("merchant"), kPw));  // another certificate, still valid
    EXPECT_EQ(log.lines.size(), 1u);
}

class Cache : public ::testing::Test {
protected:
    void TearDown() override { cache_.setLifetime(std::chrono::milliseconds(0)), setClockForTesting(nullptr); }
    KeyCache& cache_ = KeyCache::sharedInstance();
    ts::TempDir dir_;
    std::string path_ = dir_.write("m.p12", merchantP12()).string();
};

// Both algorithms in turn: a kept key signs with each again, as an uncached one does.
TEST_F(Cache, IsOffUnlessAskedForAndThenSignsWithTheSameBytes) {
    auto sign256 = [](const KeySource& s) { return ZRBCryptoHelper().RSASHA256SSignature("base string", s, kPw); };
    const auto uncached = sign(KeySource::file(path_), kPw), uncached256 = sign256(KeySource::file(path_));
    EXPECT_EQ(cache_.count(), 0u);
    ASSERT_TRUE(cache_.setLifetime(std::chrono::minutes(5)));
    for (const KeySource& s : {KeySource::file(path_), KeySource::file(path_), KeySource::memory(merchantP12())}) {
        EXPECT_EQ(sign(s, kPw), uncached);
        EXPECT_EQ(sign256(s), uncached256);
    }
    EXPECT_EQ(cache_.count(), 2u);  // the file once, the bytes once
    cache_.clear();
    EXPECT_EQ(cache_.count(), 0u);
}

TEST_F(Cache, NeverSurvivesAFileChangeAPasswordChangeOrItsLifetime) {
    cache_.setLifetime(std::chrono::minutes(5));
    ASSERT_TRUE(sign(KeySource::file(path_), kPw));
    ts::Identity other = ts::makeSharedRsaIdentity(1024);
    const auto mtime = std::filesystem::last_write_time(path_);
    dir_.write("m.p12", ts::makeP12(other.key.get(), other.cert.get(), kPw));
    std::filesystem::last_write_time(path_, mtime);  // size tells it apart
    EXPECT_TRUE(ts::verifyPkcs1Signature(
        other.cert.get(), "base string", *ts::base64Decode(sign(KeySource::file(path_), kPw).value()), "SHA1"));
    const KeySource source = KeySource::memory(merchantP12());
    ASSERT_TRUE(sign(source, kPw));
    EXPECT_FALSE(sign(source, kPw + "x"));
    const double now = currentTimeIntervalSince1970();
    setClockForTesting([now] { return now + 301; });
    EXPECT_TRUE(sign(KeySource::file(path_), kPw));
    EXPECT_EQ(cache_.count(), 1u);  // the bytes' key was dropped, the file's key is new
}

}  // namespace
