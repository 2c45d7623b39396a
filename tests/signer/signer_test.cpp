#include <Orvalis/Foundation/Bundle.h>
#include <Orvalis/Foundation/Clock.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/Random.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <TestPki.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

const std::string kHost = "api.example.com";
const std::string kCK = "cK7q2Lm9";

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

// Undoes one level of %XX: the signature as stored is its Base64 encoded once.
std::string percentDecode(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out.push_back(static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string independentDigestBase64(std::string_view data, const char* md) {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), d, &n, EVP_get_digestbyname(md), nullptr), 1);
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    out.resize(static_cast<std::size_t>(
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), d, static_cast<int>(n))));
    return out;
}

// Fixed nonce (123456789) and clock (1500000000.5), a merchant key file, and
// every log line captured.
class Signer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        identity_ = new Identity(makeSharedRsaIdentity(2048));
        dir_ = new TempDir();
        dir_->write("merchant.p12", makeP12(identity_->key.get(), identity_->cert.get(), "pw"));
    }
    static void TearDownTestSuite() {
        delete dir_;
        delete identity_;
    }
    void SetUp() override {
        previousResources_ = Bundle::mainBundle().resourcePath();
        Bundle::mainBundle().setResourcePath(dir_->path().string());
        setRandomSourceForTesting([](std::uint32_t) { return 23456789u; });
        setClockForTesting([] { return 1500000000.5; });
        setLogHandler([this](std::string_view l) {
            std::lock_guard g(logMutex_);
            lines_.emplace_back(l);
        });
    }
    void TearDown() override {
        resetLogHandler();
        setRandomSourceForTesting(nullptr);
        setClockForTesting(nullptr);
        Bundle::mainBundle().setResourcePath(previousResources_);
    }

    static ZRBOAuthProvider sign(HTTPMethodType m, std::optional<Dictionary> query, std::optional<std::string> body,
                                 OAuthSignatureType t = OAuthSignatureTypeRSASHA1,
                                 std::optional<std::string> key = std::string("merchant"),
                                 std::optional<std::string> consumer = kCK,
                                 const std::string& path = "/quorvex/pairingid") {
        return ZRBOAuthProvider::initWith(m, OAuthURLSchemeTypeHTTPS, kHost, path, query, consumer, key,
                                          std::string("pw"), t, body);
    }

    // The stored signature decoded back to raw bytes, checked against the base string.
    static bool signatureVerifies(const ZRBOAuthProvider& p, const char* md) {
        const Value* s = p.oAuthHeaders().find("oauth_signature");
        if (!s || !p.oAuthSignatureBaseString()) return false;
        auto raw = base64Decode(percentDecode(s->asString()));
        return raw && verifyPkcs1Signature(identity_->cert.get(), *p.oAuthSignatureBaseString(), *raw, md);
    }

    std::vector<std::string> linesStartingWith(const std::string& prefix) {
        std::lock_guard g(logMutex_);
        std::vector<std::string> out;
        for (const auto& l : lines_)
            if (l.rfind(prefix, 0) == 0) out.push_back(l);
        return out;
    }

    static Identity* identity_;
    static TempDir* dir_;
    std::mutex logMutex_;
    std::vector<std::string> lines_;
    std::string previousResources_;
};

Identity* Signer::identity_ = nullptr;
TempDir* Signer::dir_ = nullptr;

}  // namespace

TEST_F(Signer, GetExampleBaseStringAndHeaderByteForByte) {
    ZRBOAuthProvider p =
        sign(HTTPMethodTypeGET, Dictionary{{"pairingTransactionId", "t+2"}, {"userId", "a/b"}}, std::nullopt);
    const std::string base = replaceAll(
        replaceAll("GET&https%3A%2F%2FHOST%2Fquorvex%2Fpairingid&oauth_consumer_key%3DCK%26oauth_nonce%3D123456789%26"
                   "oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D1500000000%26oauth_version%3D1.0%26"
                   "pairingTransactionId%3Dt%252B2%26userId%3Da%252Fb",
                   "HOST", kHost),
        "CK", kCK);
    EXPECT_EQ(p.oAuthSignatureBaseString(), base);

    const Value* s = p.oAuthHeaders().find("oauth_signature");
    ASSERT_NE(s, nullptr);
    const std::string S(s->asString());
    EXPECT_EQ(S.size(),
              344u + 2 * static_cast<std::size_t>(std::count_if(S.begin(), S.end(), [](char c) { return c == '%'; })));
    const std::string header = replaceAll(
        replaceAll("OAuth oauth_consumer_key=\"CK\",oauth_nonce=\"123456789\",oauth_signature=\"S\","
                   "oauth_signature_method=\"RSA-SHA1\",oauth_timestamp=\"1500000000\",oauth_version=\"1.0\"",
                   "CK", kCK),
        "\"S\"", "\"" + S + "\"");
    EXPECT_EQ(p.oAuthHeader(), header);
    EXPECT_EQ(p.oAuthHeader(), header) << "the header is computed once, not per call";
    EXPECT_TRUE(signatureVerifies(p, "SHA1"));
    EXPECT_EQ(S.find_first_of("+/="), std::string::npos) << "Base64 is percent-encoded in the header";
}

TEST_F(Signer, PostExampleCarriesThePlainBodyHashInTheHeader) {
    // A body whose SHA-1 Base64 holds "+" and "/", so both spellings show.
    std::string body, hash;
    for (int i = 0; i < 1000 && (hash.find('+') == std::string::npos || hash.find('/') == std::string::npos); ++i) {
        body = "{\"cart\":\"caf\xC3\xA9\",\"n\":" + std::to_string(i) + "}";
        hash = independentDigestBase64(body, "SHA1");
    }
    ASSERT_NE(hash.find('+'), std::string::npos);
    ZRBOAuthProvider p = sign(HTTPMethodTypePOST, std::nullopt, body, OAuthSignatureTypeRSASHA1,
                              std::string("merchant"), kCK, "/quorvex/expresscheckout");
    EXPECT_EQ(p.requestBodyHash(), hash);
    const std::string hashTwice = replaceAll(replaceAll(replaceAll(hash, "+", "%252B"), "/", "%252F"), "=", "%253D");
    EXPECT_EQ(p.oAuthSignatureBaseString(),
              "POST&https%3A%2F%2F" + kHost + "%2Fquorvex%2Fexpresscheckout&oauth_body_hash%3D" + hashTwice +
                  "%26oauth_consumer_key%3D" + kCK +
                  "%26oauth_nonce%3D123456789%26oauth_signature_method%3DRSA-SHA1%26oauth_timestamp%3D1500000000"
                  "%26oauth_version%3D1.0");
    const std::string S(p.oAuthHeaders().find("oauth_signature")->asString());
    EXPECT_EQ(p.oAuthHeader(), "OAuth oauth_consumer_key=\"" + kCK + "\",oauth_nonce=\"123456789\",oauth_body_hash=\"" +
                                   hash + "\",oauth_signature=\"" + S +
                                   "\",oauth_signature_method=\"RSA-SHA1\",oauth_timestamp=\"1500000000\","
                                   "oauth_version=\"1.0\"");
    EXPECT_TRUE(signatureVerifies(p, "SHA1"));
}

TEST(Encoding, EncodeStringCases) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"},
        {"a b", "a%20b"},
        {"a+b", "a%2Bb"},
        {"a%2Bb", "a%2Bb"},
        {"a%2bb", "a%2Bb"},
        {"~-._", "~-._"},
        {"[x]", "x"},
        {"%5Bx%5D", "x"},
        {"*", "%2A"},
        {"a/b:c", "a%2Fb%3Ac"},
        {"'()", "%27%28%29"},
        {"!", "%21"},
        {"\xC3\xA9", "%C3%A9"},
        {";@&=$,?#", "%3B%40%26%3D%24%2C%3F%23"},
        {"", ""},
        // A "%" that starts no escape stands for itself.
        {"%", "%25"},
        {"100%", "100%25"},
        {"%zz", "%25zz"},
        {"%2", "%252"},
        {"%%41", "%25A"},
        // Bytes that are not UTF-8, given raw or as escapes, are encoded one by one.
        {"%FF", "%FF"},
        {"\xFF\xFE", "%FF%FE"},
        {"%C3", "%C3"},
        {"%C3%28", "%C3%28"},
        // Controls, DEL and the characters a URL or quoted header cannot carry.
        {std::string("\x00\x01\t\n\r\x1F\x7F", 7), "%00%01%09%0A%0D%1F%7F"},
        {"\"<>\\^`{|}", "%22%3C%3E%5C%5E%60%7B%7C%7D"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(ZRBOAuthProvider::encodeString(in), out) << in;
        EXPECT_EQ(ZRBOAuthProvider::encodeString(out), out) << "idempotent on " << in;
    }
}

TEST(Encoding, KeyEncodeStringEncodesValuesTwice) {
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"}, {"a+b", "a%252Bb"}, {"a b", "a%2520b"}, {"a%20b", "a%2520b"},
        {"%", "%2525"}, {"[]", ""},         {"\"", "%2522"},    {"\xC3\xA9", "%25C3%25A9"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(ZRBOAuthProvider::keyEncodeString(in), out) << in;
}

TEST_F(Signer, UnsafeCharactersAreEncodedAlikeInUrlBaseStringAndHeader) {
    const std::string odd = "q\"<>\\^`{|}\x01 z";
    ZRBOAuthProvider p = sign(HTTPMethodTypeGET, Dictionary{{"v", odd}}, std::nullopt, OAuthSignatureTypeRSASHA1,
                              std::string("merchant"), "ck\"x");
    const std::string once = "q%22%3C%3E%5C%5E%60%7B%7C%7D%01%20z";
    EXPECT_EQ(p.URLWithQueriesParams(), "https://" + kHost + "/quorvex/pairingid?v=" + once);
    EXPECT_NE(p.oAuthSignatureBaseString()->find("v%3D" + replaceAll(once, "%", "%25")), std::string::npos);
    EXPECT_EQ(p.oAuthHeader().rfind("OAuth oauth_consumer_key=\"ck%22x\",", 0), 0u);
    // The header's only space is the one after "OAuth".
    for (const std::string& text : {p.URLWithQueriesParams(), *p.oAuthSignatureBaseString(), p.oAuthHeader().substr(6)})
        for (unsigned char c : text) {
            EXPECT_TRUE(c > 0x20 && c < 0x7F) << "byte " << int(c) << " in " << text;
            EXPECT_EQ(std::string("<>\\^`{|}").find(static_cast<char>(c)), std::string::npos) << text;
        }
}

TEST_F(Signer, BaseStringMatchesAnRfc5849Reference) {
    // Standard RFC 3986 encoding of every byte but the unreserved ones.
    auto pct = [](std::string_view s) {
        std::string out;
        for (unsigned char c : s) {
            if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
                out.push_back(static_cast<char>(c));
            } else {
                char buf[4];
                std::snprintf(buf, sizeof buf, "%%%02X", c);
                out += buf;
            }
        }
        return out;
    };
    const std::vector<std::map<std::string, std::string>> queries = {
        {},
        {{"pairingTransactionId", "t+2"}, {"userId", "a/b"}},
        {{"q", "a b&c=d"}, {"Z", "*!'();:@$,?#"}, {"x_y", "caf\xC3\xA9 \xE2\x82\xAC"}},
        {{"a", ""}, {"b", "~-._"}, {"checkoutId", "0123456789"}},
    };
    for (const auto& query : queries) {
        for (bool post : {false, true}) {
            Dictionary q;
            for (const auto& [k, v] : query) q.set(k, v);
            std::optional<std::string> body;
            if (post) body = "<a>x y</a>";
            ZRBOAuthProvider p = ZRBOAuthProvider::initWith(
                post ? HTTPMethodTypePOST : HTTPMethodTypeGET, OAuthURLSchemeTypeHTTPS, kHost, "/quorvex/x", q,
                std::string("ck+/="), std::string("merchant"), std::string("pw"), OAuthSignatureTypeRSASHA256, body);
            std::map<std::string, std::string> params(query.begin(), query.end());
            params["oauth_consumer_key"] = "ck+/=";
            params["oauth_nonce"] = "123456789";
            params["oauth_timestamp"] = "1500000000";
            params["oauth_version"] = "1.0";
            params["oauth_signature_method"] = "RSA-SHA256";
            if (post) params["oauth_body_hash"] = independentDigestBase64(*body, "SHA256");
            std::vector<std::string> pairs;
            for (const auto& [k, v] : params) pairs.push_back(pct(k) + "=" + pct(v));
            std::sort(pairs.begin(), pairs.end());
            std::string joined;
            for (const auto& pr : pairs) joined += (joined.empty() ? "" : "&") + pr;
            std::string expected =
                std::string(post ? "POST" : "GET") + "&" + pct("https://" + kHost + "/quorvex/x") + "&" + pct(joined);
            EXPECT_EQ(p.oAuthSignatureBaseString(), expected);
            EXPECT_TRUE(signatureVerifies(p, "SHA256"));
        }
    }
}

TEST_F(Signer, QueryParametersOverrideOAuthValuesOnlyInTheBaseString) {
    ZRBOAuthProvider p = sign(HTTPMethodTypeGET,
                              Dictionary{{"oauth_nonce", "1"},
                                         {"a:b", "a:b"},
                                         {"alpha", "1"},
                                         {"_x", "2"},
                                         {"Zeta", "3"},
                                         {"oauth_version", nullptr}},
                              std::nullopt);
    const std::string& base = *p.oAuthSignatureBaseString();
    EXPECT_NE(base.find("oauth_nonce%3D1%26"), std::string::npos);
    EXPECT_EQ(base.find("123456789"), std::string::npos);
    EXPECT_NE(p.oAuthHeader().find("oauth_nonce=\"123456789\""), std::string::npos);
    EXPECT_NE(base.find("a%3Ab%3Da%253Ab"), std::string::npos);
    const std::string params = base.substr(base.find("pairingid&") + 10);
    EXPECT_EQ(params.rfind("Zeta%3D3%26_x%3D2%26a%3Ab%3Da%253Ab%26alpha%3D1%26oauth_consumer_key", 0), 0u) << params;
    EXPECT_NE(base.find("oauth_signature_method%3DRSA-SHA1%26oauth_timestamp"), std::string::npos);
    EXPECT_NE(base.find("oauth_version%3D1.0"), std::string::npos) << "a null query value hides nothing";
}

TEST_F(Signer, SignaturesVerifyForEveryMethodHashAndBody) {
    struct Case {
        HTTPMethodType method;
        OAuthSignatureType type;
        std::optional<std::string> body;
    };
    const Case cases[] = {
        {HTTPMethodTypeGET, OAuthSignatureTypeRSASHA1, std::nullopt},
        {HTTPMethodTypeGET, OAuthSignatureTypeRSASHA256, std::nullopt},
        {HTTPMethodTypePOST, OAuthSignatureTypeRSASHA1, std::string()},
        {HTTPMethodTypePOST, OAuthSignatureTypeRSASHA256, std::string()},
        {HTTPMethodTypePOST, OAuthSignatureTypeRSASHA1, std::nullopt},
        {HTTPMethodTypePOST, OAuthSignatureTypeRSASHA256, std::string("{\"k\":\"\xC3\xA9\"}")},
    };
    for (const Case& c : cases) {
        const bool sha256 = c.type == OAuthSignatureTypeRSASHA256;
        SCOPED_TRACE(std::to_string(c.method) + "/" + std::to_string(c.type) + "/" + (c.body ? *c.body : "absent"));
        ZRBOAuthProvider p = sign(c.method, std::nullopt, c.body, c.type);
        EXPECT_TRUE(signatureVerifies(p, sha256 ? "SHA256" : "SHA1"));
        const std::string h = p.oAuthHeader();
        EXPECT_NE(h.find(sha256 ? "oauth_signature_method=\"RSA-SHA256\"" : "oauth_signature_method=\"RSA-SHA1\""),
                  std::string::npos);
        if (c.body) {
            ASSERT_TRUE(p.requestBodyHash());
            EXPECT_EQ(*p.requestBodyHash(), independentDigestBase64(*c.body, sha256 ? "SHA256" : "SHA1"));
            EXPECT_EQ(p.requestBodyHash()->size(), sha256 ? 44u : 28u);
            EXPECT_NE(h.find("oauth_body_hash=\"" + *p.requestBodyHash() + "\""), std::string::npos);
        } else {
            EXPECT_FALSE(p.requestBodyHash());
            EXPECT_FALSE(p.oAuthHeaders().contains("oauth_body_hash"));
            EXPECT_EQ(h.find("oauth_body_hash"), std::string::npos);
            EXPECT_EQ(p.oAuthSignatureBaseString()->find("oauth_body_hash"), std::string::npos);
        }
    }
}

TEST_F(Signer, MissingKeyOrConsumerKeyStillBuildsARequest) {
    ZRBOAuthProvider noKey = sign(HTTPMethodTypeGET, std::nullopt, std::nullopt, OAuthSignatureTypeRSASHA1,
                                  std::string("no-such-file"), std::nullopt);
    EXPECT_FALSE(noKey.oAuthHeaders().contains("oauth_signature"));
    EXPECT_FALSE(noKey.oAuthHeaders().contains("oauth_consumer_key"));
    EXPECT_EQ(noKey.oAuthSignatureBaseString()->find("oauth_consumer_key"), std::string::npos);
    EXPECT_EQ(noKey.oAuthHeader(),
              "OAuth oauth_consumer_key=\"\",oauth_nonce=\"123456789\",oauth_signature=\"\","
              "oauth_signature_method=\"RSA-SHA1\",oauth_timestamp=\"1500000000\",oauth_version=\"1.0\"");
    EXPECT_TRUE(linesStartingWith("OAuth Signature: ").empty());

    URLRequest r =
        ZRBOAuthProvider().GETURLRequest(OAuthURLSchemeTypeHTTPS, kHost, "/p", std::nullopt, std::string("ck"),
                                         std::nullopt, std::nullopt, OAuthSignatureTypeRSASHA1);
    EXPECT_EQ(r.URL(), "https://" + kHost + "/p");
    EXPECT_NE(r.valueForHTTPHeaderField("Authorization")->find("oauth_signature=\"\""), std::string::npos);
}

TEST_F(Signer, GetRequestHasTheEncodedQueryAndNoBody) {
    const std::pair<std::optional<Dictionary>, std::string> cases[] = {
        {std::nullopt, "https://h/p"},
        {Dictionary{}, "https://h/p"},
        {Dictionary{{"a", "1 2"}}, "https://h/p?a=1%202"},
        {Dictionary{{"a", "x[1]"}}, "https://h/p?a=x1"},
        {Dictionary{{"b", "2"}, {"a", "1"}}, "https://h/p?b=2&a=1"},
        {Dictionary{{"n", 42}, {"skip", nullptr}}, "https://h/p?n=42"},
    };
    ZRBOAuthProvider builder;
    for (const auto& [query, url] : cases) {
        URLRequest r = builder.GETURLRequest(OAuthURLSchemeTypeHTTPS, "h", "/p", query, kCK, std::string("merchant"),
                                             std::string("pw"), OAuthSignatureTypeRSASHA1);
        EXPECT_EQ(r.URL(), url);
        EXPECT_EQ(r.HTTPMethod(), "GET");
        EXPECT_FALSE(r.HTTPBody());
        EXPECT_EQ(r.cachePolicy(), URLRequestReloadIgnoringLocalCacheData);
        EXPECT_EQ(r.timeoutInterval(), 180.0);
        ASSERT_EQ(r.allHTTPHeaderFields().size(), 1u);
        EXPECT_EQ(r.allHTTPHeaderFields()[0].first, "Authorization");
        EXPECT_EQ(r.allHTTPHeaderFields()[0].second.rfind("OAuth oauth_consumer_key=", 0), 0u);
    }
    URLRequest plain = builder.GETURLRequest(OAuthURLSchemeTypeHTTP, "h/", "/p", std::nullopt, kCK, std::nullopt,
                                             std::nullopt, OAuthSignatureTypeRSASHA1);
    EXPECT_EQ(plain.URL(), "http://h//p") << "nothing is trimmed";
}

TEST_F(Signer, PostRequestCarriesBodyBytesAndTwoHeadersInOrder) {
    ZRBOAuthProvider builder;
    const std::string body = "{\"name\":\"Zo\xC3\xAB\"}";
    URLRequest r = builder.POSTURLRequest(OAuthURLSchemeTypeHTTPS, kHost, "/quorvex/expresscheckout", kCK,
                                          std::string("merchant"), std::string("pw"), OAuthSignatureTypeRSASHA1, body,
                                          HTTPContentTypeToString[HTTPContentTypeJSON]);
    EXPECT_EQ(r.URL(), "https://" + kHost + "/quorvex/expresscheckout");
    EXPECT_EQ(r.HTTPMethod(), "POST");
    EXPECT_EQ(r.HTTPBody(), body);
    EXPECT_EQ(r.cachePolicy(), URLRequestReloadIgnoringLocalCacheData);
    EXPECT_EQ(r.timeoutInterval(), 180.0);
    ASSERT_EQ(r.allHTTPHeaderFields().size(), 2u);
    EXPECT_EQ(r.allHTTPHeaderFields()[0], (std::pair<std::string, std::string>("Content-Type", "application/json")));
    EXPECT_EQ(r.allHTTPHeaderFields()[1].first, "Authorization");
    EXPECT_NE(r.allHTTPHeaderFields()[1].second.find("oauth_body_hash=\"" + independentDigestBase64(body, "SHA1")),
              std::string::npos);

    URLRequest absent =
        builder.POSTURLRequest(OAuthURLSchemeTypeHTTPS, kHost, "/x", kCK, std::string("merchant"), std::string("pw"),
                               OAuthSignatureTypeRSASHA1, std::nullopt, HTTPContentTypeToString[HTTPContentTypeXML]);
    EXPECT_FALSE(absent.HTTPBody());
    EXPECT_EQ(absent.valueForHTTPHeaderField("Content-Type"), "application/xml;charset=UTF-8");
    EXPECT_EQ(absent.valueForHTTPHeaderField("Authorization")->find("oauth_body_hash"), std::string::npos);
}

TEST_F(Signer, LogLinesComeInConstructionOrder) {
    URLRequest r =
        ZRBOAuthProvider().GETURLRequest(OAuthURLSchemeTypeHTTPS, kHost, "/p", Dictionary{{"a", "b"}}, kCK,
                                         std::string("merchant"), std::string("pw"), OAuthSignatureTypeRSASHA1);
    std::vector<std::string> prefixes;
    {
        std::lock_guard g(logMutex_);
        for (const auto& l : lines_) prefixes.push_back(l.substr(0, l.find(':') + 1));
    }
    EXPECT_EQ(prefixes, (std::vector<std::string>{"OAuth Headers:", "OAuth Signature base string:", "OAuth Signature:",
                                                  "URL :", "OAuth Authorization Header:"}));
    EXPECT_EQ(linesStartingWith("URL : ").at(0), "URL : " + r.URL());
    EXPECT_EQ(linesStartingWith("OAuth Authorization Header: ").at(0),
              "OAuth Authorization Header: " + *r.valueForHTTPHeaderField("Authorization"));
    EXPECT_NE(linesStartingWith("OAuth Headers:").at(0).find("123456789"), std::string::npos);
}

TEST_F(Signer, SignerKeepsItsOwnCopyOfTheQuery) {
    Dictionary q{{"a", "1"}};
    ZRBOAuthProvider p = sign(HTTPMethodTypeGET, q, std::nullopt);
    const std::string url = p.URLWithQueriesParams();
    q.set("a", "2");
    q.set("b", "3");
    EXPECT_EQ(p.URLWithQueriesParams(), url);
    EXPECT_EQ(p.queryParams().size(), 1u);
    EXPECT_TRUE(sign(HTTPMethodTypeGET, std::nullopt, std::nullopt).queryParams().empty());
}

TEST(NonceAndTimestamp, BoundsAndTruncation) {
    ZRBOAuthProvider p;
    setRandomSourceForTesting([](std::uint32_t bound) { return bound - 1; });
    EXPECT_EQ(p.nonce(), "999999999");
    setRandomSourceForTesting([](std::uint32_t) { return 0u; });
    EXPECT_EQ(p.nonce(), "100000000");
    setRandomSourceForTesting(nullptr);
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string n = p.nonce();
        ASSERT_EQ(n.size(), 9u) << n;
        ASSERT_TRUE(n >= "100000000" && n <= "999999999") << n;
        seen.insert(n);
    }
    EXPECT_GT(seen.size(), 190u) << "nonces are drawn, not repeated";

    const std::pair<double, std::string> clocks[] = {
        {1700000000.9, "1700000000"},  {1700000000.0, "1700000000"}, {0.2, "0"}, {-0.5, "0"}, {-1.5, "-1"}, {NAN, "0"},
        {1e300, "9200000000000000000"}};
    for (const auto& [t, text] : clocks) {
        setClockForTesting([t = t] { return t; });
        EXPECT_EQ(p.timeStamp(), text) << t;
    }
    setClockForTesting(nullptr);
    const std::string now = p.timeStamp();
    EXPECT_GE(now.size(), 10u);
    EXPECT_GT(std::stoll(now), 1600000000LL);
}

TEST_F(Signer, EnumerationValuesOutsideTheTablesBuildWithoutSigning) {
    ZRBOAuthProvider p =
        ZRBOAuthProvider::initWith(static_cast<HTTPMethodType>(7), static_cast<OAuthURLSchemeType>(-1), kHost, "/p",
                                   std::nullopt, std::string("ck"), std::string("merchant"), std::string("pw"),
                                   static_cast<OAuthSignatureType>(2), std::string("body"));
    EXPECT_FALSE(p.httpMethod());
    EXPECT_FALSE(p.URLScheme());
    EXPECT_FALSE(p.requestBodyHash());
    EXPECT_FALSE(p.oAuthHeaders().contains("oauth_signature"));
    EXPECT_FALSE(p.oAuthHeaders().contains("oauth_signature_method"));
    EXPECT_EQ(p.completeServiceURL(), kHost + "/p");
}

TEST_F(Signer, ConcurrentRequestsAreIndependentAndVerify) {
    setRandomSourceForTesting(nullptr);
    constexpr int kThreads = 4, kEach = 3;
    std::latch start(kThreads);
    std::atomic<int> verified{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int i = 0; i < kEach; ++i) {
                ZRBOAuthProvider p = sign(HTTPMethodTypeGET, Dictionary{{"t", t}, {"i", i}}, std::nullopt);
                if (signatureVerifies(p, "SHA1") &&
                    p.oAuthSignatureBaseString()->find("i%3D" + std::to_string(i)) != std::string::npos)
                    ++verified;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(verified.load(), kThreads * kEach);
}
