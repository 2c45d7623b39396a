// Merchant keys that sign inside a PKCS#11 token (SoftHSM2, made per run): the
// same signature as in process on every face, each refusal named with nothing
// sent, and one login with a pool of sessions shared by many threads.
#include <CheckKey.h>
#include <MerchantClient.h>
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
// The key object in the token, found through the module's own path or the system's module list.
KeySource tokenKey(std::string_view object = "merchant", bool systemModules = false) {
    return KeySource::token(world().token.uri(object, systemModules), PinSource::value(ts::SoftToken::kPin));
}
// "t" signed by the merchant key in the token.
auto tokenSignature() { return ZRBCryptoHelper().RSASHA1SSignature("t", tokenKey(), std::nullopt); }
std::size_t sent() { return ts::sandboxWorld().server->requests().size(); }

ZRBPairingIDServiceRequest pairing(const KeySource& key) {
    auto r = ts::acceptable<ZRBPairingIDServiceRequest>();
    r.setMerchantKeySource(key);
    r.setMerechantKeyFileName("absent");  // only the token can sign: the resource holds the same key
    return r;
}

}  // namespace

// Of each size, by both module URIs: a signature longer than 256 bytes is whole.
TEST(TokenKey, SignsByteForByteAsTheSameKeyInProcess) {
    ZRBCryptoHelper h;
    for (const int bits : {2048, 3072, 4096}) {
        const ts::Identity id = ts::makeSharedRsaIdentity(bits);
        const KeySource p12 = KeySource::memory(ts::makeP12(id.key.get(), id.cert.get(), "pw"));
        const std::string object = bits == 2048 ? "merchant" : "rsa-" + std::to_string(bits);
        for (const KeySource& key : {tokenKey(object), tokenKey(object, true)}) {
            SCOPED_TRACE(key.description());
            EXPECT_EQ(
                h.RSASHA1SSignature("base&string", key, std::nullopt), h.RSASHA1SSignature("base&string", p12, "pw"));
            EXPECT_EQ(h.RSASHA256SSignature("base", key, std::nullopt), h.RSASHA256SSignature("base", p12, "pw"));
        }
    }
}

// The callback facade signs with a token key as Client does (the shared pool test): the sandbox accepts the
// request, whose success reaches the callback (its signature is then the one the same key makes in process:
// PKCS#1 v1.5 is deterministic).
TEST(TokenKey, TheCallbackFacadeSignsWithIt) {
    ts::Outcomes out;
    ZRBOrvalis().getPairingIDService(pairing(tokenKey()), out.success(), out.failure());
    ASSERT_TRUE(out.waitFor(1));
    EXPECT_TRUE(out.all()[0].success) << out.all()[0].describe();
}

// The certificate beside the key (none beside the generated one) gives the report a PKCS#12 file gives.
TEST(TokenKey, OrvalisSignReportsAndSignsWithATokenKeyAsWithItsPKCS12) {
    const std::string p12 = world().token.dir.write("merchant.p12", world().p12).string();
    std::vector<std::string> outputs;
    for (auto [key, pin] : {std::pair(uri("merchant"), std::string(ts::SoftToken::kPin)), std::pair(p12, "pw"s)}) {
        std::ostringstream report, sign, err;
        EXPECT_EQ(tools::runCheckKey({"--check-key", "--key", key, "--password", pin}, report, err), 0) << err.str();
        std::vector<std::string> args{"--url", "https://h/p?a=1", "--consumer-key", "ck", "--nonce", "1"};
        args.insert(args.end(), {"--timestamp", "2", "--key", key, "--password", pin});
        EXPECT_EQ(tools::runSign(args, sign, err), 0) << err.str();
        outputs.push_back(report.str().substr(report.str().find('\n')) + sign.str());  // all but the key's name
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_NE(outputs[0].find("key match    yes"), std::string::npos) << outputs[0];
    // A key that may not sign is refused by the check too (the tool's refusals are the tools tests' table).
    for (auto [object, status] :
        {std::pair("generated", KeyStatus::NoKeyWithCertificate), {"no-sign", KeyStatus::MechanismRefused}})
        EXPECT_EQ(ZRBKeychainManager::sharedInstance().checkKey(tokenKey(object), std::nullopt).status, status);
}

struct Refusal {
    const char* name;
    std::function<KeySource()> key;
    KeyStatus status;
};

class TokenRefusal : public ::testing::TestWithParam<Refusal> {};

// And again on the next request, without a new login try: a refused PIN is not tried twice, lest the token lock it.
TEST_P(TokenRefusal, IsNamedOnTheOperationAndNothingIsSent) {
    std::size_t before = sent(), tries = 0;
    for (int round = 0; round < 2; ++round) {
        KeySource key = GetParam().key();
        OperationResult r = Client(ts::merchantConfiguration()).getPairingId(pairing(key)).get();
        ASSERT_TRUE(r.error);
        EXPECT_EQ(r.error->code(), URLErrorCannotSignRequest);
        EXPECT_EQ(r.error->userInfo().objectForKey(URLErrorKeyStatusKey), Value(describe(GetParam().status)));
        EXPECT_EQ(r.error->localizedDescription().find(ts::SoftToken::kPin), std::string::npos);
        if (round == 1) { EXPECT_EQ(detail::tokenSessions(key.location()).loginTries, tries); }
        tries = detail::tokenSessions(key.location()).loginTries;
    }
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
        Refusal{"ModuleNotLoaded", [] { return KeySource::token("pkcs11:object=m?module-path=/nonexistent.so"); },
            KeyStatus::ModuleNotLoaded},
        Refusal{"NotAURI", [] { return KeySource::token("merchant.p12"); }, KeyStatus::NotTokenURI},
        // CKA_SIGN false is the library's own refusal: this module would sign anyway. (SoftHSM2 would refuse itself,
        // so a key of its own with CKA_SIGN false, "no-sign", shows less: the check-key test holds it.)
        Refusal{"ModuleThatSignsAnyway",
            [] {
                return KeySource::token(
                    world().token.uri("merchant", true) + "?module-path=" ORVALIS_SIGN_ANYWAY_MODULE,
                    PinSource::value(ts::SoftToken::kPin));
            },
            KeyStatus::MechanismRefused}),
    ts::RowName());

TEST(TokenSessions, TwoHundredOperationsFromEightThreadsShareOneLoginAndThePool) {
    Client client(ts::merchantConfiguration());
    ASSERT_TRUE(tokenSignature());  // logged in
    unsigned logins = detail::tokenSessions(uri("merchant")).logins;
    std::vector<std::vector<Operation>> ops(8);
    for (std::vector<std::jthread> threads; auto& mine : ops)  // joined as the loop ends
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) mine.push_back(client.getPairingId(pairing(tokenKey())));
        });
    for (auto& mine : ops)
        for (auto& op : mine) EXPECT_FALSE(op.get().error);  // the sandbox accepted each
    detail::TokenSessions s = detail::tokenSessions(uri("merchant"));
    EXPECT_EQ(s.open, s.idle);  // none leaked
    EXPECT_LE(s.open, 9u);      // no more than were signing at once
    EXPECT_EQ(s.logins, logins);
}

// A session lost (the token pulled out and put back) is named on the request that meets it, and a module finalized
// by another user is initialized again: either way the next signature logs in again, once; none is refused.
TEST(TokenSessions, ALostSessionOrAModuleFinalizedByAnotherUserCostsOneLoginAgain) {
    const auto inProcess = ZRBCryptoHelper().RSASHA1SSignature("t", KeySource::memory(world().p12), "pw");
    ASSERT_EQ(tokenSignature(), inProcess);
    const unsigned logins = detail::tokenSessions(uri("merchant")).logins;
    ASSERT_TRUE(detail::tokenDropSessionsForTesting(uri("merchant")));
    OperationResult r = Client(ts::merchantConfiguration()).getPairingId(pairing(tokenKey())).get();
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->userInfo().objectForKey(URLErrorKeyStatusKey), Value(describe(KeyStatus::TokenSessionLost)));
    EXPECT_EQ(tokenSignature(), inProcess);
    EXPECT_EQ(detail::tokenSessions(uri("merchant")).logins, logins + 1);
    for (unsigned finalized = 1; finalized <= 2; ++finalized) {
        world().token.finalizeAsAnotherUser();
        for (int round = 0; round < 3; ++round) EXPECT_EQ(tokenSignature(), inProcess);
        EXPECT_EQ(detail::tokenSessions(uri("merchant")).logins, logins + 1 + finalized);
    }
}

TEST(TokenSessions, AForkedChildOpensAndLogsInOnItsOwn) {
    ASSERT_TRUE(tokenSignature());
    pid_t child = fork();
    if (child == 0) {
        // A signature first: the module state is made afresh on that path too, not only by a lookup.
        bool signs = tokenSignature() == ZRBCryptoHelper().RSASHA1SSignature("t", KeySource::memory(world().p12), "pw");
        detail::TokenSessions s = detail::tokenSessions(uri("merchant"));
        _exit(signs && s.open == 1 && s.logins == 1 ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(tokenSignature());  // the parent's sessions still work
}
