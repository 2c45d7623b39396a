// The sandbox checked on its own, with requests signed here by hand, so that
// the end-to-end tests can trust its verdicts.
#include <OAuthCheck.h>
#include <Sandbox.h>
#include <TestPki.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <chrono>
#include <string>

using namespace orvalis;
using namespace orvalis::sandbox;
namespace ts = orvalis::testsupport;

TEST(SandboxOAuth, EncodingDecodesThenEncodes) {
    const std::pair<const char*, const char*> cases[] = {
        {"abc", "abc"},       {"a b", "a%20b"}, {"a+b", "a%2Bb"},       {"a%2Bb", "a%2Bb"},
        {"~-._", "~-._"},     {"[x]", "x"},     {"*", "%2A"},           {"a/b:c", "a%2Fb%3Ac"},
        {"'()", "%27%28%29"}, {"!", "%21"},     {"\xC3\xA9", "%C3%A9"}, {"%c3%a9", "%C3%A9"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(encodeString(in), std::optional<std::string>(out)) << in;
    for (const char* bad : {"100%", "%4", "%zz", "%C3", "%FF"}) EXPECT_FALSE(encodeString(bad)) << bad;
}

TEST(SandboxOAuth, BaseStringOfTheReferenceGetRequest) {
    std::map<std::string, std::string> params{
        {"oauth_consumer_key", "CK"},
        {"oauth_nonce", "123456789"},
        {"oauth_signature_method", "RSA-SHA1"},
        {"oauth_timestamp", "1500000000"},
        {"oauth_version", "1.0"},
        {"pairingTransactionId", "t%2B2"},  // as sent in the query: encoded once
        {"userId", "a/b"},                  // or plain: the encoding is idempotent
    };
    EXPECT_EQ(signatureBaseString("GET", "https://HOST/quorvex/pairingid", params),
              "GET&https%3A%2F%2FHOST%2Fquorvex%2Fpairingid&oauth_consumer_key%3DCK%26oauth_nonce%3D123456789%26"
              "oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D1500000000%26oauth_version%3D1.0%26"
              "pairingTransactionId%3Dt%252B2%26userId%3Da%252Fb");
    // Names sort by byte value and are encoded once, values twice.
    EXPECT_EQ(signatureBaseString("GET", "u", {{"alpha", "1"}, {"_x", "2"}, {"Zeta", "3"}, {"a:b", "a:b"}}),
              "GET&u&Zeta%3D3%26_x%3D2%26a%3Ab%3Da%253Ab%26alpha%3D1");
}

TEST(SandboxOAuth, AuthorizationHeaderParsing) {
    auto p = parseAuthorizationHeader(R"(OAuth oauth_consumer_key="c%21",oauth_body_hash="a+b/=",oauth_nonce="1")");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->at("oauth_consumer_key"), "c%21");
    EXPECT_EQ(p->at("oauth_body_hash"), "a+b/=");
    EXPECT_EQ(p->size(), 3u);
    for (const char* bad : {"Bearer x", R"(OAuth a="1" ,b="2")", R"(OAuth a="1)", R"(OAuth a="1",a="2")"}) {
        EXPECT_FALSE(parseAuthorizationHeader(bad)) << bad;
    }
}

namespace {

std::string sign(EVP_PKEY* key, const std::string& text) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    size_t len = 0;
    std::string sig;
    if (EVP_DigestSignInit(ctx, nullptr, EVP_sha1(), nullptr, key) == 1 &&
        EVP_DigestSign(ctx, nullptr, &len, reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1) {
        sig.resize(len);
        EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                       reinterpret_cast<const unsigned char*>(text.data()), text.size());
        sig.resize(len);
    }
    EVP_MD_CTX_free(ctx);
    std::string b64(4 * ((sig.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(b64.data()),
                            reinterpret_cast<const unsigned char*>(sig.data()), static_cast<int>(sig.size()));
    b64.resize(static_cast<size_t>(n));
    return b64;
}

std::string pct(const std::string& b64) {
    std::string out;
    for (char c : b64) out += c == '+' ? "%2B" : c == '/' ? "%2F" : c == '=' ? "%3D" : std::string(1, c);
    return out;
}

// Base64 as it stands in the base string: encoded twice.
std::string twice(const std::string& b64) {
    std::string out;
    for (char c : b64) out += c == '+' ? "%252B" : c == '/' ? "%252F" : c == '=' ? "%253D" : std::string(1, c);
    return out;
}

std::string sha1Base64(const std::string& body) {
    unsigned char md[20];
    unsigned int n = 0;
    EVP_Digest(body.data(), body.size(), md, &n, EVP_sha1(), nullptr);
    char out[64];
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), md, 20);
    return std::string(out, static_cast<size_t>(len));
}

class SandboxServer : public ::testing::Test {
protected:
    void SetUp() override {
        merchant_ = ts::makeSharedRsaIdentity(2048);
        SandboxOptions o;
        o.merchantCertificatePath = dir_.write("merchant.pem", ts::certPem(merchant_.cert.get())).string();
        o.consumerKey = "ck!1";
        o.keepAlive = std::chrono::seconds(1);  // stop() waits this long for idle connections
        sandbox_ = std::make_unique<Sandbox>(o);
        std::string error;
        ASSERT_TRUE(sandbox_->start(&error)) << error;
        caPath_ = dir_.write("server.pem", sandbox_->serverCertificatePEM()).string();
    }
    void TearDown() override { sandbox_->stop(); }

    std::string now() const {
        return std::to_string(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
    }
    std::string hostPart() const { return "127.0.0.1%3A" + std::to_string(sandbox_->port()); }

    httplib::Result send(const std::string& method, const std::string& target, const std::string& auth,
                         const std::string& body = "", const std::string& type = "") {
        httplib::SSLClient cli("127.0.0.1", sandbox_->port());
        cli.set_ca_cert_path(caPath_.c_str());
        cli.enable_server_certificate_verification(true);
        cli.set_connection_timeout(5);
        cli.set_read_timeout(5);
        httplib::Headers h;
        if (!auth.empty()) h.emplace("Authorization", auth);
        if (method == "GET") return cli.Get(target.c_str(), h);
        return cli.Post(target.c_str(), h, body, type.c_str());
    }

    // A GET of the pairing-ID operation signed over the query it is given.
    std::string signedPairingHeader(const std::string& nonce, const std::string& signedUser) {
        std::string ts = now();
        std::string base = "GET&https%3A%2F%2F" + hostPart() +
                           "%2Fquorvex%2Fpairingid&oauth_consumer_key%3Dck%25211%26oauth_nonce%3D" + nonce +
                           "%26oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D" + ts +
                           "%26oauth_version%3D1.0%26pairingTransactionId%3Dt%252B2%26userId%3D" + signedUser;
        return "OAuth oauth_consumer_key=\"ck%211\",oauth_nonce=\"" + nonce + "\",oauth_signature=\"" +
               pct(sign(merchant_.key.get(), base)) + "\",oauth_signature_method=\"RSA-SHA1\",oauth_timestamp=\"" + ts +
               "\",oauth_version=\"1.0\"";
    }

    std::string signedExpressHeader(const std::string& nonce, const std::string& hashedBody) {
        std::string ts = now();
        std::string hash = sha1Base64(hashedBody);
        std::string base = "POST&https%3A%2F%2F" + hostPart() + "%2Fquorvex%2Fexpresscheckout&oauth_body_hash%3D" +
                           twice(hash) + "%26oauth_consumer_key%3Dck%25211%26oauth_nonce%3D" + nonce +
                           "%26oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D" + ts + "%26oauth_version%3D1.0";
        return "OAuth oauth_consumer_key=\"ck%211\",oauth_nonce=\"" + nonce + "\",oauth_body_hash=\"" + hash +
               "\",oauth_signature=\"" + pct(sign(merchant_.key.get(), base)) +
               "\",oauth_signature_method=\"RSA-SHA1\",oauth_timestamp=\"" + ts + "\",oauth_version=\"1.0\"";
    }

    ts::TempDir dir_;
    ts::Identity merchant_;
    std::unique_ptr<Sandbox> sandbox_;
    std::string caPath_;
};

}  // namespace

TEST_F(SandboxServer, AcceptsOnlyRequestsWhoseSignatureCoversWhatArrived) {
    const std::string target = "/quorvex/pairingid?pairingTransactionId=t%2B2&userId=a%2Fb";
    const std::string header = signedPairingHeader("100000001", "a%252Fb");
    auto good = send("GET", target, header);
    ASSERT_TRUE(good) << httplib::to_string(good.error());
    EXPECT_EQ(good->status, 200) << good->body;
    EXPECT_NE(good->body.find("\"pairingId\""), std::string::npos);
    EXPECT_NE(good->body.find("\"a/b\""), std::string::npos) << good->body;

    auto replay = send("GET", target, header);
    auto tampered = send("GET", target, signedPairingHeader("100000002", "x"));
    auto unsignedReq = send("GET", target, "");
    for (auto* r : {&replay, &tampered, &unsignedReq}) {
        ASSERT_TRUE(*r);
        EXPECT_EQ((*r)->status, 401);
        EXPECT_NE((*r)->body.find("\"errors\""), std::string::npos);
    }

    auto seen = sandbox_->requests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].verdict, "accepted") << seen[0].baseString;
    EXPECT_EQ(seen[0].operation, "pairingid");
    EXPECT_EQ(seen[1].verdict, "rejected: nonce already used");
    EXPECT_EQ(seen[2].verdict, "rejected: signature does not verify");
    EXPECT_EQ(seen[3].verdict, "rejected: no Authorization header");
    EXPECT_EQ(sandbox_->rejectedCount(), 3u);
}

TEST_F(SandboxServer, ChecksTheBodyHashAndContentTypeOfPosts) {
    const std::string body = "{\n  \"amount\" : 1.5\n}";
    struct Case {
        const char* nonce;
        std::string hashed;
        std::string sent;
        const char* type;
        const char* verdict;
    } cases[] = {
        {"200000001", body, body, "application/json", "accepted"},
        {"200000002", body, body + " ", "application/json", "rejected: body hash mismatch"},
        {"200000003", "", "", "application/json", "accepted"},
        {"200000004", body, body, "text/plain", "rejected: Content-Type is not application/json"},
    };
    for (const Case& c : cases) {
        auto r = send("POST", "/quorvex/expresscheckout", signedExpressHeader(c.nonce, c.hashed), c.sent, c.type);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, std::string(c.verdict) == "accepted" ? 200 : 401) << c.nonce;
        EXPECT_EQ(sandbox_->requests().back().verdict, c.verdict) << c.nonce;
        EXPECT_EQ(sandbox_->requests().back().body, c.sent);
    }
}

TEST_F(SandboxServer, InjectedFaultsReplaceTheAnswer) {
    const std::string target = "/quorvex/pairingid?pairingTransactionId=t%2B2&userId=a%2Fb";
    struct Case {
        const char* fault;
        int status;
        const char* bodyPart;
    } cases[] = {
        {"errors", 200, "\"errors\""},
        {"xml-error", 200, "<Error>"},
        {"http500", 500, ""},
        {"delay:20", 200, "\"pairingId\""},
    };
    int nonce = 300000001;
    for (const Case& c : cases) {
        auto fault = Fault::parse(c.fault);
        ASSERT_TRUE(fault) << c.fault;
        sandbox_->setFault("pairingid", *fault);
        auto r = send("GET", target, signedPairingHeader(std::to_string(nonce++), "a%252Fb"));
        ASSERT_TRUE(r) << c.fault;
        EXPECT_EQ(r->status, c.status) << c.fault;
        if (*c.bodyPart) {
            EXPECT_NE(r->body.find(c.bodyPart), std::string::npos) << r->body;
        } else {
            EXPECT_TRUE(r->body.empty()) << r->body;
        }
    }
    for (const char* bad : {"delay:", "delay:-1", "crash", "delay:5x"}) EXPECT_FALSE(Fault::parse(bad)) << bad;
    auto unknown = send("GET", "/nowhere", "");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
}
