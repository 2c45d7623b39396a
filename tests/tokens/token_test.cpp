// Merchant keys that sign inside a PKCS#11 token (SoftHSM2, made per run): the
// same signature as in process on every face, each refusal named with nothing
// sent, and one login with a pool of sessions shared by many threads.
#include <CheckKey.h>
#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Crypto/detail/OAuthCheck.h>
#include <Orvalis/Foundation/Crypto/detail/TokenKeys.h>
#include <Orvalis/ServiceInfrastructure/Orvalis.h>
#include <Printers.h>
#include <SandboxWorld.h>
#include <SignCommand.h>
#include <SoftToken.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

using namespace orvalis;
using namespace std::string_literals;
namespace ts = orvalis::testsupport;

namespace {

struct World {
    ts::Identity merchant = ts::makeSharedRsaIdentity(2048);  // the sandbox's key
    ts::SoftToken token{merchant.key.get(), merchant.cert.get()};
    std::string p12 = ts::makeP12(merchant.key.get(), merchant.cert.get(), "pw");
};
World& world() {
    static World w;
    return w;
}
std::string uri(std::string_view object) { return world().token.uri(object); }
KeySource tokenKey(std::string_view object = "merchant") {
    return KeySource::token(uri(object), PinSource::value(ts::SoftToken::kPin));
}
std::size_t sent() { return ts::sandboxWorld().server->requests().size(); }

// The signature a request carries equals the one the same key makes in process over its base string.
void expectSignedAsInProcess(const sandbox::RecordedRequest& r) {
    EXPECT_TRUE(r.accepted) << r.verdict << " " << r.operation;
    auto oauth = detail::parseAuthorizationHeader(r.authorization);
    ASSERT_TRUE(oauth);
    bool sha256 = (*oauth)["oauth_signature_method"] == "RSA-SHA256";
    ZRBCryptoHelper h;
    auto p12 = KeySource::memory(world().p12);
    auto own = sha256 ? h.RSASHA256SSignature(r.baseString, p12, "pw") : h.RSASHA1SSignature(r.baseString, p12, "pw");
    EXPECT_EQ(detail::percentDecode((*oauth)["oauth_signature"]), own);
}

template <class R>
R request(const KeySource& key) {
    auto r = ts::credentialed<R>();
    r.setMerchantKeySource(key);
    if constexpr (std::is_same_v<R, ZRBPairingIDServiceRequest>) r.setPairingTransactionId("tx"), r.setUserId("u");
    if constexpr (std::is_same_v<R, ZRBPrecheckoutDataRequest>) r.setPairingId("pair-1");
    if constexpr (std::is_same_v<R, ZRBPaymentDataRequest>)
        r.setTransactionId("tx-1"), r.setCheckoutId("chk"), r.setCartId("c");
    if constexpr (std::is_same_v<R, ZRBInitializePairingRequest>) r.setCheckoutID("chk"), r.setUserId("u");
    return r;
}

std::vector<Operation> sixOperations(const Client& c, const KeySource& key) {
    return {c.initializePairing(request<ZRBInitializePairingRequest>(key)),
        c.getPairingId(request<ZRBPairingIDServiceRequest>(key)),
        c.authorizePairing(request<ZRBAuthorisePairingRequest>(key)),
        c.getPrecheckoutData(request<ZRBPrecheckoutDataRequest>(key)),
        c.expressCheckout(request<ZRBExpressCheckoutDataRequest>(key)),
        c.getPaymentData(request<ZRBPaymentDataRequest>(key))};
}

Client sandboxClient() {
    ClientConfiguration c;
    c.host = ts::sandboxWorld().host;
    return Client(c);
}

}  // namespace

TEST(TokenKey, SignsByteForByteAsTheSameKeyInProcess) {
    ZRBCryptoHelper h;
    auto p12 = KeySource::memory(world().p12);
    auto systemModules = KeySource::token(world().token.uri("merchant", true), PinSource::value("2468;pin"));
    for (const KeySource& key : {tokenKey(), systemModules}) {
        SCOPED_TRACE(key.description());
        EXPECT_EQ(h.RSASHA1SSignature("base&string", key, std::nullopt), h.RSASHA1SSignature("base&string", p12, "pw"));
        EXPECT_EQ(h.RSASHA256SSignature("base", key, std::nullopt), h.RSASHA256SSignature("base", p12, "pw"));
        EXPECT_TRUE(h.RSASHA256SSignature("base", key, std::nullopt));
    }
}

TEST(TokenKey, AKeyMadeInTheTokenSignsWhatItsPublicKeyVerifies) {
    auto sig = ZRBCryptoHelper().RSASHA256SSignature("text", tokenKey("generated"), std::nullopt);
    ASSERT_TRUE(sig);
    auto raw = *detail::base64Decode(*sig);
    std::unique_ptr<EVP_MD_CTX, detail::Deleter<EVP_MD_CTX_free>> ctx(EVP_MD_CTX_new());
    ASSERT_EQ(
        EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, world().token.generatedPublicKey.get()), 1);
    EXPECT_EQ(
        EVP_DigestVerify(ctx.get(), (const unsigned char*)raw.data(), raw.size(), (const unsigned char*)"text", 4), 1);
}

TEST(TokenKey, EveryOperationOfTheCppFacesIsAcceptedWithTheInProcessSignature) {
    std::size_t before = sent();
    for (Operation& op : sixOperations(sandboxClient(), tokenKey()))
        EXPECT_FALSE(op.get().error) << op.get().error->localizedDescription();
    ts::Outcomes out;
    ZRBOrvalis o;
    o.getPairingIDService(request<ZRBPairingIDServiceRequest>(tokenKey()), out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(1));
    auto all = ts::sandboxWorld().server->requests();
    ASSERT_EQ(all.size(), before + 7);
    for (std::size_t i = before; i < all.size(); ++i) expectSignedAsInProcess(all[i]);
}

TEST(TokenKey, TheCFaceSignsThroughTheTokenWithThePinFromAFile) {
    auto pinFile = world().token.dir.write("pin.txt", std::string(ts::SoftToken::kPin) + "\n");
    orvalis_key_source* key = nullptr;
    ASSERT_EQ(orvalis_key_source_token(uri("merchant").c_str(), pinFile.c_str(), &key), ORVALIS_OK);
    orvalis_sign_request r{};
    r.struct_size = sizeof r;
    r.url = "https://example.com/quorvex/pairingid?a=1";
    r.key_source = key;
    char* base = nullptr;
    char* authorization = nullptr;
    ASSERT_EQ(orvalis_sign(&r, &base, &authorization), ORVALIS_OK);
    auto sig = (*detail::parseAuthorizationHeader(authorization))["oauth_signature"];
    EXPECT_EQ(
        detail::percentDecode(sig), ZRBCryptoHelper().RSASHA1SSignature(base, KeySource::memory(world().p12), "pw"));
    orvalis_free(base);
    orvalis_free(authorization);
    orvalis_key_source_free(key);
}

TEST(TokenKey, CheckReadsTheCertificateFromTheToken) {
    auto& keychain = ZRBKeychainManager::sharedInstance();
    KeyCheck fromToken = keychain.checkKey(tokenKey(), std::nullopt);
    KeyCheck fromP12 = keychain.checkKey(KeySource::memory(world().p12), "pw");
    ASSERT_EQ(fromToken.status, KeyStatus::Loaded);
    ASSERT_TRUE(fromToken.certificate && fromP12.certificate);
    EXPECT_EQ(std::tie(fromToken.certificate->subject, fromToken.certificate->serialNumber,
                  fromToken.certificate->notAfter, fromToken.certificate->keyBits),
        std::tie(fromP12.certificate->subject, fromP12.certificate->serialNumber, fromP12.certificate->notAfter,
            fromP12.certificate->keyBits));
    EXPECT_TRUE(fromToken.certificateMatchesKey);
    EXPECT_EQ(keychain.checkKey(tokenKey("generated"), std::nullopt).status, KeyStatus::NoKeyWithCertificate);
}

TEST(TokenKey, OrvalisSignReportsAndSignsWithATokenKeyAsWithItsPKCS12) {
    const std::string p12 = world().token.dir.write("merchant.p12", world().p12).string();
    std::vector<std::string> outputs;
    for (auto [key, pin] : {std::pair(uri("merchant"), std::string(ts::SoftToken::kPin)), std::pair(p12, "pw"s)}) {
        std::ostringstream report, sign, err;
        EXPECT_EQ(tools::runCheckKey({"--check-key", "--key", key, "--password", pin}, report, err), 0) << err.str();
        EXPECT_EQ(tools::runSign({"--url", "https://h/p?a=1", "--consumer-key", "ck", "--nonce", "1", "--timestamp",
                                     "2", "--key", key, "--password", pin},
                      sign, err),
            0)
            << err.str();
        outputs.push_back(report.str().substr(report.str().find('\n')) + sign.str());  // all but the key's name
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_NE(outputs[0].find("key match    yes"), std::string::npos) << outputs[0];
}

struct Refusal {
    const char* name;
    std::function<KeySource()> key;
    KeyStatus status;
};
void PrintTo(const Refusal& row, std::ostream* out) { *out << row.name; }

class TokenRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(TokenRefusal, IsNamedOnTheOperationAndNothingIsSent) {
    std::size_t before = sent();
    OperationResult r = sandboxClient().getPairingId(request<ZRBPairingIDServiceRequest>(GetParam().key())).get();
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code(), URLErrorCannotSignRequest);
    EXPECT_EQ(r.error->userInfo().objectForKey(URLErrorKeyStatusKey), Value(describe(GetParam().status)));
    EXPECT_EQ(r.error->localizedDescription().find(ts::SoftToken::kPin), std::string::npos);
    EXPECT_EQ(sent(), before);
}

std::string other(std::string_view object) { return world().token.uri(object, false, "orvalis shop 2"); }

INSTANTIATE_TEST_SUITE_P(Tokens, TokenRefusal,
    ::testing::Values(
        Refusal{"WrongPin", [] { return KeySource::token(other("x"), PinSource::value("0000")); }, KeyStatus::WrongPIN},
        Refusal{"NoPin", [] { return KeySource::token(other("x"), PinSource::callback({})); }, KeyStatus::NoPIN},
        Refusal{"TokenAbsent", [] { return KeySource::token(world().token.uri("merchant", false, "gone")); },
            KeyStatus::TokenAbsent},
        Refusal{"KeyNotFound", [] { return tokenKey("nobody"); }, KeyStatus::KeyNotInToken},
        Refusal{"TwoKeysMatch", [] { return tokenKey("twin"); }, KeyStatus::KeyAmbiguous},
        Refusal{"KeyMayNotSign", [] { return tokenKey("no-sign"); }, KeyStatus::MechanismRefused},
        Refusal{"ModuleNotLoaded", [] { return KeySource::token("pkcs11:object=m?module-path=/nonexistent.so"); },
            KeyStatus::ModuleNotLoaded},
        Refusal{"NotAURI", [] { return KeySource::token("merchant.p12"); }, KeyStatus::NotTokenURI}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TokenPin, AWrongPinIsNotTriedAgainSoThatTheTokenDoesNotLockIt) {
    auto wrong = KeySource::token(other("x"), PinSource::value("1111"));
    ZRBCryptoHelper h;
    EXPECT_FALSE(h.RSASHA1SSignature("t", wrong, std::nullopt));
    unsigned tries = detail::tokenSessions(other("x")).loginTries;
    EXPECT_FALSE(h.RSASHA1SSignature("t", wrong, std::nullopt));
    EXPECT_EQ(detail::tokenSessions(other("x")).loginTries, tries);
}

TEST(TokenSessions, TwoHundredOperationsFromEightThreadsShareOneLoginAndThePool) {
    Client client = sandboxClient();
    ASSERT_TRUE(ZRBCryptoHelper().RSASHA1SSignature("t", tokenKey(), std::nullopt));  // logged in
    unsigned logins = detail::tokenSessions(uri("merchant")).logins;
    std::size_t before = sent();
    std::vector<std::vector<Operation>> ops(8);
    std::vector<std::thread> threads;
    for (auto& mine : ops)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i)
                mine.push_back(client.getPairingId(request<ZRBPairingIDServiceRequest>(tokenKey())));
        });
    for (auto& t : threads) t.join();
    for (auto& mine : ops)
        for (auto& op : mine) EXPECT_FALSE(op.get().error);  // the sandbox accepted each
    EXPECT_EQ(sent(), before + 200);
    detail::TokenSessions s = detail::tokenSessions(uri("merchant"));
    EXPECT_EQ(s.open, s.idle);  // none leaked
    EXPECT_LE(s.open, 9u);      // no more than were signing at once
    EXPECT_EQ(s.logins, logins);
}

TEST(TokenSessions, ALostSessionIsNamedAndTheNextRequestLogsInAgain) {
    ZRBCryptoHelper h;
    ASSERT_TRUE(h.RSASHA1SSignature("t", tokenKey(), std::nullopt));
    unsigned logins = detail::tokenSessions(uri("merchant")).logins;
    ASSERT_TRUE(detail::tokenDropSessionsForTesting(uri("merchant")));
    OperationResult r = sandboxClient().getPairingId(request<ZRBPairingIDServiceRequest>(tokenKey())).get();
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->userInfo().objectForKey(URLErrorKeyStatusKey), Value(describe(KeyStatus::TokenSessionLost)));
    EXPECT_TRUE(h.RSASHA1SSignature("t", tokenKey(), std::nullopt));
    EXPECT_EQ(detail::tokenSessions(uri("merchant")).logins, logins + 1);
}

TEST(TokenSessions, AForkedChildOpensAndLogsInOnItsOwn) {
    ZRBCryptoHelper h;
    ASSERT_TRUE(h.RSASHA1SSignature("t", tokenKey(), std::nullopt));
    pid_t child = fork();
    if (child == 0) {
        bool fresh = detail::tokenSessions(uri("merchant")).open == 0;
        bool signs = h.RSASHA1SSignature("t", tokenKey(), std::nullopt) ==
                     h.RSASHA1SSignature("t", KeySource::memory(world().p12), "pw");
        _exit(fresh && signs && detail::tokenSessions(uri("merchant")).logins == 1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(h.RSASHA1SSignature("t", tokenKey(), std::nullopt));  // the parent's sessions still work
}
