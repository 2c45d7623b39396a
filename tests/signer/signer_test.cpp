#include <Orvalis/Foundation/Crypto/detail/OAuthCheck.h>
#include <Orvalis/Foundation/System/Bundle.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/TestSeams.h>
#include <Orvalis/Networking/ZRBOAuthConstant.h>
#include <Orvalis/Networking/ZRBOAuthProvider.h>
#include <Printers.h>
#include <TestPki.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cmath>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <vector>

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

// Base64 of a digest computed here, not by the library.
std::string digestBase64(std::string_view data, const char* md) {
    unsigned char d[EVP_MAX_MD_SIZE], text[2 * EVP_MAX_MD_SIZE];
    std::size_t n = 0;
    EXPECT_EQ(EVP_Q_digest(nullptr, md, nullptr, data.data(), data.size(), d, &n), 1);
    return std::string(
        reinterpret_cast<char*>(text), static_cast<std::size_t>(EVP_EncodeBlock(text, d, static_cast<int>(n))));
}

// Fixed nonce (123456789) and clock (1500000000.5), a merchant key file
// "merchant.p12" (password "pw"), and every log line captured.
class Signer : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.write("merchant.p12", makeP12(identity_.key.get(), identity_.cert.get(), "pw"));
        Bundle::mainBundle().setResourcePath(dir_.path().string());
        setRandomSourceForTesting([](std::uint32_t) { return 23456789u; });
        setClockForTesting([] { return 1500000000.5; });
        setLogHandler([this](std::string_view l) { lines_.emplace_back(l); });  // signing logs on the calling thread
    }
    void TearDown() override { resetLogHandler(), setRandomSourceForTesting(nullptr), setClockForTesting(nullptr); }

    static ZRBOAuthProvider sign(HTTPMethodType m, std::optional<Dictionary> query, std::optional<std::string> body,
        OAuthSignatureType t = OAuthSignatureTypeRSASHA1, std::optional<std::string> consumer = "cK7q2Lm9") {
        return ZRBOAuthProvider::initWith(m, OAuthURLSchemeTypeHTTPS, "api.example.com", "/q/p", query, consumer,
            std::string("merchant"), std::string("pw"), t, body);
    }
    Identity identity_ = makeSharedRsaIdentity(2048);
    TempDir dir_;
    std::vector<std::string> lines_;
};

struct Encoding {
    const char* name;
    std::string in, out;
};
class Encodings : public ::testing::TestWithParam<Encoding> {};

// keyEncodeString is encodeString with the "%" of each escape encoded again.
TEST_P(Encodings, EncodeOnceIdempotentlyAndTwiceForTheBaseString) {
    EXPECT_EQ(ZRBOAuthProvider::encodeString(GetParam().in), GetParam().out);
    EXPECT_EQ(ZRBOAuthProvider::encodeString(GetParam().out), GetParam().out);
    EXPECT_EQ(
        ZRBOAuthProvider::keyEncodeString(GetParam().in), std::regex_replace(GetParam().out, std::regex("%"), "%25"));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Texts, Encodings,
    ::testing::Values(Encoding{"Unreserved", "abc~-._", "abc~-._"}, Encoding{"Escaped", "a%2Bb", "a%2Bb"},
                      Encoding{"LowerCaseEscape", "a%2bb", "a%2Bb"}, Encoding{"BracketsDropped", "[x]", "x"},
                      Encoding{"EscapedBracketsDropped", "%5Bx%5D", "x"}, Encoding{"PercentNotHex", "%zz", "%25zz"},
                      Encoding{"CutEscape", "%2", "%252"}, Encoding{"PercentThenEscape", "%%41", "%25A"},
                      Encoding{"EscapedBadUTF8", "%FF%C3%28%C3", "%FF%C3%28%C3"},
                      // Every other byte, one escape each: space, reserved, unsafe in URLs, controls, UTF-8 or not.
                      Encoding{"OtherBytes", " +*/:'()!;@&=$,?#\"<>\\^`{|}" + std::string("\x00\x01\t\n\r\x1F\x7F", 7) +
                                                 "\xC3\xA9\xFF\xFE",
                               "%20%2B%2A%2F%3A%27%28%29%21%3B%40%26%3D%24%2C%3F%23%22%3C%3E%5C%5E%60%7B%7C%7D"
                               "%00%01%09%0A%0D%1F%7F%C3%A9%FF%FE"}),
    RowName());
// clang-format on

// Base strings built here by RFC 5849's rules (RFC 3986 encoding, sorted pairs) for queries, bodies and a
// consumer key that need encoding (characters unsafe in URLs too), with each method's own body hash; the URL and
// the header encode the same values once.
TEST_F(Signer, BaseStringMatchesAnRfc5849Reference) {
    auto pct = [](const std::string& s) {  // libcurl escapes all but ALPHA, DIGIT and "-._~", in upper-case hex
        std::unique_ptr<char, void (*)(void*)> e(curl_easy_escape(nullptr, s.data(), int(s.size())), curl_free);
        return std::string(e.get());
    };
    const std::vector<std::map<std::string, std::string>> queries = {{},
        {{"pairingTransactionId", "t+2"}, {"userId", "a/b"}},
        {{"q", "a b&c=d"}, {"Z", "*!'();:@$,?#\"<>\\^`{|}\x01"}, {"x_y", "caf\xC3\xA9 \xE2\x82\xAC"}},
        {{"a", ""}, {"b", "~-._"}, {"checkoutId", "0123456789"}}};
    for (const auto& [type, md, method] : {std::tuple{OAuthSignatureTypeRSASHA1, "SHA1", "RSA-SHA1"},
             std::tuple{OAuthSignatureTypeRSASHA256, "SHA256", "RSA-SHA256"}}) {
        std::string cart, cartHash;  // a body whose hash holds "+" and "/", so both spellings show
        for (int i = 0; cartHash.find('+') == std::string::npos || cartHash.find('/') == std::string::npos; ++i)
            cart = "{\"cart\":\"caf\xC3\xA9\",\"n\":" + std::to_string(i) + "}", cartHash = digestBase64(cart, md);
        for (const auto& query : queries)
            for (bool post : {false, true}) {
                const std::string body = query.empty() ? "" : cart, hash = digestBase64(body, md);
                Dictionary q;
                for (const auto& [k, v] : query) q.set(k, v);
                ZRBOAuthProvider p = sign(post ? HTTPMethodTypePOST : HTTPMethodTypeGET, q,
                    post ? std::optional(body) : std::nullopt, type, "ck+/=\"");
                q.set("a", "changed");  // the signer keeps its own copy
                std::map<std::string, std::string> params(query.begin(), query.end());
                params.insert({{"oauth_consumer_key", "ck+/=\""}, {"oauth_nonce", "123456789"},
                    {"oauth_timestamp", "1500000000"}, {"oauth_version", "1.0"}, {"oauth_signature_method", method}});
                if (post) params["oauth_body_hash"] = hash;
                std::set<std::string> pairs;  // sorted by their encoded form
                for (const auto& [k, v] : params) pairs.insert(pct(k) + "=" + pct(v));
                std::string joined;
                for (const auto& pr : pairs) joined += (joined.empty() ? "" : "&") + pr;
                EXPECT_EQ(p.oAuthSignatureBaseString(),
                    (post ? "POST&" : "GET&") + pct("https://api.example.com/q/p") + "&" + pct(joined));
                // The header's signature, percent-decoded and Base64-decoded, checked against the base string.
                const Value* s = p.oAuthHeaders().find("oauth_signature");
                ASSERT_TRUE(s && p.oAuthSignatureBaseString());
                const auto raw = base64Decode(detail::percentDecode(s->asString()).value_or(""));
                EXPECT_TRUE(raw && verifyPkcs1Signature(identity_.cert.get(), *p.oAuthSignatureBaseString(), *raw, md));
                std::string url;
                for (const auto& [k, v] : query) url += "&" + k + "=" + pct(v);
                EXPECT_EQ(
                    p.URLWithQueriesParams(), "https://api.example.com/q/p" + (url.empty() ? "" : "?" + url.substr(1)));
                EXPECT_EQ(p.requestBodyHash(), post ? std::optional(hash) : std::nullopt);
                const std::string h = p.oAuthHeader();
                EXPECT_EQ(h.find("oauth_body_hash=\"" + hash + "\"") != std::string::npos, post) << h;
                EXPECT_NE(h.find("oauth_signature_method=\"" + std::string(method) + "\""), std::string::npos);
                EXPECT_EQ(h.rfind("OAuth oauth_consumer_key=\"" + pct("ck+/=\"") + "\",", 0), 0u) << h;
            }
    }
}

TEST_F(Signer, QueryParametersOverrideOAuthValuesOnlyInTheBaseString) {
    ZRBOAuthProvider p = sign(HTTPMethodTypeGET,
        Dictionary{{"oauth_nonce", "1"}, {"a:b", "a:b"}, {"alpha", "1"}, {"_x", "2"}, {"Zeta", "3"},
            {"oauth_version", nullptr}},
        {});
    EXPECT_EQ(p.oAuthSignatureBaseString(),
        "GET&https%3A%2F%2Fapi.example.com%2Fq%2Fp&Zeta%3D3%26_x%3D2%26a%3Ab%3Da%253Ab%26alpha%3D1%26"
        "oauth_consumer_key%3DcK7q2Lm9%26oauth_nonce%3D1%26oauth_signature_method%3DRSA-SHA1%26"
        "oauth_timestamp%3D1500000000%26oauth_version%3D1.0");  // a null query value hides nothing
    EXPECT_NE(p.oAuthHeader().find("oauth_nonce=\"123456789\""), std::string::npos);
}

TEST_F(Signer, MissingKeyOrConsumerKeyStillBuildsARequest) {
    ZRBOAuthProvider p = ZRBOAuthProvider::initWith(HTTPMethodTypeGET, OAuthURLSchemeTypeHTTPS, "h", "/p", {}, {},
        std::string("no-such-file"), std::string("pw"), OAuthSignatureTypeRSASHA1, {});
    EXPECT_EQ(p.oAuthSignatureBaseString(),
        "GET&https%3A%2F%2Fh%2Fp&oauth_nonce%3D123456789%26oauth_signature_method"
        "%3DRSA-SHA1%26oauth_timestamp%3D1500000000%26oauth_version%3D1.0");
    EXPECT_FALSE(p.oAuthHeaders().contains("oauth_signature") || p.oAuthHeaders().contains("oauth_consumer_key"));
    URLRequest r =
        ZRBOAuthProvider().GETURLRequest(OAuthURLSchemeTypeHTTPS, "h", "/p", {}, {}, {}, {}, OAuthSignatureTypeRSASHA1);
    EXPECT_EQ(r.URL(), "https://h/p");
    EXPECT_EQ(r.valueForHTTPHeaderField("Authorization"),
        "OAuth oauth_consumer_key=\"\",oauth_nonce=\"123456789\",oauth_signature=\"\","
        "oauth_signature_method=\"RSA-SHA1\",oauth_timestamp=\"1500000000\",oauth_version=\"1.0\"");
}

TEST_F(Signer, RequestsCarryTheSignedPartsAndLogInConstructionOrder) {
    ZRBOAuthProvider builder;
    URLRequest get = builder.GETURLRequest(OAuthURLSchemeTypeHTTPS, "h", "/p",
        Dictionary{{"b", "1 2"}, {"a", "x[1]"}, {"n", 42}, {"skip", nullptr}}, "ck", std::string("merchant"),
        std::string("pw"), OAuthSignatureTypeRSASHA1);
    std::vector<std::string> prefixes;
    for (const std::string& l : lines_) prefixes.push_back(l.substr(0, l.find(':') + 1));
    EXPECT_EQ(prefixes, (std::vector<std::string>{"OAuth Headers:", "OAuth Signature base string:", "OAuth Signature:",
                            "URL :", "OAuth Authorization Header:"}));
    EXPECT_EQ(lines_[4], "OAuth Authorization Header: " + get.valueForHTTPHeaderField("Authorization").value());
    EXPECT_EQ(std::tuple(get.URL(), get.HTTPMethod(), get.HTTPBody(), get.allHTTPHeaderFields().size()),
        std::tuple("https://h/p?b=1%202&a=x1&n=42", "GET", std::nullopt, 1u));
    EXPECT_EQ(
        builder.GETURLRequest(OAuthURLSchemeTypeHTTP, "h/", "/p", {}, "ck", {}, {}, OAuthSignatureTypeRSASHA1).URL(),
        "http://h//p");  // nothing is trimmed
    const std::string body = "{\"name\":\"Zo\xC3\xAB\"}";
    URLRequest post = builder.POSTURLRequest(OAuthURLSchemeTypeHTTPS, "h", "/e", "ck", std::string("merchant"),
        std::string("pw"), OAuthSignatureTypeRSASHA1, body, HTTPContentTypeToString[HTTPContentTypeJSON]);
    EXPECT_EQ(std::tuple(post.URL(), post.HTTPMethod(), post.HTTPBody()), std::tuple("https://h/e", "POST", body));
    EXPECT_EQ(post.allHTTPHeaderFields(),
        (std::vector<std::pair<std::string, std::string>>{{"Content-Type", "application/json"},
            {"Authorization", post.valueForHTTPHeaderField("Authorization").value()}}));
    URLRequest absent = builder.POSTURLRequest(OAuthURLSchemeTypeHTTPS, "h", "/x", "ck", std::string("merchant"),
        std::string("pw"), OAuthSignatureTypeRSASHA1, std::nullopt, HTTPContentTypeToString[HTTPContentTypeXML]);
    EXPECT_EQ(std::tuple(absent.HTTPBody(), absent.valueForHTTPHeaderField("Content-Type")),
        std::tuple(std::nullopt, "application/xml;charset=UTF-8"));
    EXPECT_EQ(absent.valueForHTTPHeaderField("Authorization")->find("oauth_body_hash"), std::string::npos);
}

TEST(NonceAndTimestamp, BoundsAndTruncation) {
    ZRBOAuthProvider p;
    setRandomSourceForTesting([](std::uint32_t bound) { return bound - 1; });
    const std::string highest = p.nonce();
    setRandomSourceForTesting([](std::uint32_t bound) { return bound; });  // reduced modulo the bound: to 0
    EXPECT_EQ(std::tuple(highest, p.nonce()), std::tuple("999999999", "100000000"));
    setRandomSourceForTesting(nullptr);
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) seen.insert(p.nonce());
    EXPECT_GT(seen.size(), 190u) << "nonces are drawn, not repeated";
    for (const auto& [t, text] : {std::pair{1700000000.9, "1700000000"}, {-0.5, "0"}, {-1.5, "-1"}, {NAN, "0"},
             {1e300, "9200000000000000000"}}) {
        setClockForTesting([t = t] { return t; });
        EXPECT_EQ(p.timeStamp(), text) << t;
    }
    setClockForTesting(nullptr);
    EXPECT_GT(std::stoll(p.timeStamp()), 1600000000LL);
}

TEST_F(Signer, EnumerationValuesOutsideTheTablesBuildWithoutSigning) {
    ZRBOAuthProvider p =
        ZRBOAuthProvider::initWith(static_cast<HTTPMethodType>(7), static_cast<OAuthURLSchemeType>(-1), "h", "/p", {},
            std::string("ck"), std::string("merchant"), std::string("pw"), static_cast<OAuthSignatureType>(2), "body");
    EXPECT_FALSE(p.httpMethod() || p.URLScheme() || p.requestBodyHash());
    EXPECT_FALSE(p.oAuthHeaders().contains("oauth_signature") || p.oAuthHeaders().contains("oauth_signature_method"));
    EXPECT_EQ(p.completeServiceURL(), "h/p");
}

}  // namespace
