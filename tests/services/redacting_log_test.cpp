#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/System/RedactingLogHandler.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace orvalis;

TEST(RedactingLogHandler, MasksSecretsAndLeavesTheRestAlone) {
    const std::pair<std::string, std::string> cases[] = {
        {R"(OAuth Authorization Header: OAuth oauth_consumer_key="ck",oauth_nonce="123456789",oauth_body_hash="a+b/=",)"
         R"(oauth_signature="S%2B",oauth_signature_method="RSA-SHA1",oauth_timestamp="1700000000",oauth_version="1.0")",
            R"(OAuth Authorization Header: OAuth oauth_consumer_key="***",oauth_nonce="***",oauth_body_hash="***",)"
            R"(oauth_signature="***",oauth_signature_method="***",oauth_timestamp="***",oauth_version="***")"},
        {R"(OAuth Headers:{"oauth_consumer_key":"ck","oauth_signature":"x"})",
            R"(OAuth Headers:{"oauth_consumer_key":"***","oauth_signature":"***"})"},
        {"OAuth Signature: abc%2Bdef%3D", "OAuth Signature: ***"},
        // The base string masks what the header masks; the rest of it stays readable.
        {"OAuth Signature base string:GET&https%3A%2F%2Fh%2Fp&a%3D1%26oauth_consumer_key%3Dck%26oauth_nonce%3D9%26"
         "userPassword%3Dpw%26z%3D2",
            "OAuth Signature base "
            "string:GET&https%3A%2F%2Fh%2Fp&a%3D1%26oauth_consumer_key%3D***%26oauth_nonce%3D***%26"
            "userPassword%3D***%26z%3D2"},
        {R"(Request : {"password" : "hunter2", "Password":"x y", "user":"u"})",
            R"(Request : {"password" : "***", "Password":"***", "user":"u"})"},
        {"Request : <Login><UserPassword>p&amp;w</UserPassword><User>u</User></Login>",
            "Request : <Login><UserPassword>***</UserPassword><User>u</User></Login>"},
        {"URL : https://h/p?keyPassword=s3cret&userId=7", "URL : https://h/p?keyPassword=***&userId=7"},
        // 13 to 19 digits look like a card number; the last four stay for support.
        {"Response: {\"pan\":\"4111111111111111\",\"ts\":1700000000,\"id\":\"12345678901234567890\"}",
            "Response: {\"pan\":\"************1111\",\"ts\":1700000000,\"id\":\"12345678901234567890\"}"},
        {"short 123456789012 edge 1234567890123 long 1234567890123456789",
            "short 123456789012 edge *********0123 long ***************6789"},
        {"card 4111 1111 1111 1111 ok", "card **** **** **** 1111 ok"},  // grouped: spaces, dashes
        {"pan=4111-1111-1111-1111;", "pan=****-****-****-1111;"},
        {"call 555-123-4567 or 555 123 4567", "call 555-123-4567 or 555 123 4567"},  // too few digits
        {"ids 1234 5678 9012 3456 7890", "ids 1234 5678 9012 3456 7890"},            // too many
        {"2026-12-06 4111111111111111", "2026-12-06 ************1111"},
        // An escaped quote or backslash in a password, and the signature in a query.
        {R"(Request : {"password":"hunt\"er2secret","user":"u"})", R"(Request : {"password":"***","user":"u"})"},
        {R"({"password":"a\\","user":"u"})", R"({"password":"***","user":"u"})"},
        {"URL : https://h/p?oauth_signature=ab%2Bc%3D&userId=7", "URL : https://h/p?oauth_signature=***&userId=7"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(redactLogLine(in), out) << in;
}

TEST(RedactingLogHandler, MasksTheHostsLiteralSecretsInEveryLineFromManyThreads) {
    EXPECT_EQ(redactLogLine("Key : opened merchant with pw-Z9 and pw-Z9", {"pw-Z9", ""}),
        "Key : opened merchant with *** and ***");
    std::mutex m;
    std::vector<std::string> seen;
    setLogHandler(redactingLogHandler(
        [&](std::string_view line) {
            std::scoped_lock lock(m);
            seen.emplace_back(line);
        },
        {"topsecret"}));
    for (std::vector<std::jthread> threads; threads.size() < 4;)  // joined as the loop ends
        threads.emplace_back([] {
            for (int i = 0; i < 50; ++i) log("card 5500000000000004 pass topsecret");
        });
    resetLogHandler();
    ASSERT_EQ(seen.size(), 200u);
    for (const auto& line : seen) EXPECT_EQ(line, "card ************0004 pass ***");
    setLogHandler(redactingLogHandler(LogHandler()));
    EXPECT_FALSE(logEnabled());
    resetLogHandler();
}
