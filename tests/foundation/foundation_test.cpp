#include <Orvalis/Foundation/Bundle.h>
#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/File.h>
#include <Orvalis/Foundation/Log.h>
#include <Orvalis/Foundation/URLRequest.h>
#include <Orvalis/Foundation/UTF8.h>
#include <Orvalis/ServiceInfrastructure/OrvalisVersion.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

using namespace orvalis;
namespace fs = std::filesystem;

TEST(Version, SymbolsHoldTheirExactValues) {
    EXPECT_STREQ(reinterpret_cast<const char*>(OrvalisVersionString), "@(#)PROGRAM:Orvalis  PROJECT:Orvalis-1\n");
    EXPECT_EQ(OrvalisVersionNumber, 1.0);
}

TEST(Error, DescriptionLivesInUserInfo) {
    Error e = Error::withDescription("com.example", 101, "Server Error");
    EXPECT_EQ(e.domain(), "com.example");
    EXPECT_EQ(e.code(), 101);
    EXPECT_EQ(e.userInfo().size(), 1u);
    EXPECT_EQ(e.userInfo()[NSLocalizedDescriptionKey].asString(), "Server Error");
    EXPECT_EQ(e.localizedDescription(), "Server Error");
    EXPECT_EQ(Error("d", 1, Dictionary{}).localizedDescription(), "");
}

TEST(Log, HandlerReceivesLinesAndEmptyHandlerSilences) {
    std::vector<std::string> lines;
    std::mutex m;
    setLogHandler([&](std::string_view l) {
        std::lock_guard g(m);
        lines.emplace_back(l);
    });
    EXPECT_TRUE(logEnabled());
    log("one");
    setLogHandler([](std::string_view) { throw std::runtime_error("sink down"); });
    EXPECT_NO_THROW(log("lost"));
    setLogHandler(nullptr);
    EXPECT_FALSE(logEnabled());
    log("silenced");
    resetLogHandler();
    EXPECT_TRUE(logEnabled());
    ASSERT_EQ(lines, std::vector<std::string>{"one"});
}

TEST(Bundle, FindsResourcesByNameAndType) {
    fs::path dir = fs::temp_directory_path() / ("orvalis-bundle-" + std::to_string(::getpid()));
    fs::create_directories(dir / "sub.p12");  // a directory is not a resource
    std::ofstream(dir / "key.p12") << "x";
    Bundle& b = Bundle::mainBundle();
    std::string before = b.resourcePath();
    EXPECT_FALSE(before.empty());
    b.setResourcePath(dir.string());
    EXPECT_EQ(b.pathForResource("key", "p12"), (dir / "key.p12").string());
    EXPECT_FALSE(b.pathForResource("key", "xml"));
    EXPECT_FALSE(b.pathForResource("missing", "p12"));
    EXPECT_FALSE(b.pathForResource("sub", "p12"));
    EXPECT_FALSE(b.pathForResource("", "p12"));
    auto bytes = readWholeFile((dir / "key.p12").string());
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, "x");
    EXPECT_FALSE(readWholeFile((dir / "missing").string()));
    b.setResourcePath(before);
    fs::remove_all(dir);
}

TEST(URLRequest, HeaderFieldsKeepOrderAndMatchCaseInsensitively) {
    URLRequest r("https://h/p", URLRequestReloadIgnoringLocalCacheData, 180.0);
    EXPECT_EQ(r.HTTPMethod(), "GET");
    EXPECT_FALSE(r.HTTPBody());
    r.setValue("application/json", "Content-Type");
    r.setValue("OAuth x", "Authorization");
    r.setValue("text/plain", "content-type");
    ASSERT_EQ(r.allHTTPHeaderFields().size(), 2u);
    EXPECT_EQ(r.allHTTPHeaderFields()[0].first, "Content-Type");
    EXPECT_EQ(r.allHTTPHeaderFields()[0].second, "text/plain");
    EXPECT_EQ(r.valueForHTTPHeaderField("AUTHORIZATION"), "OAuth x");
    r.setValue(std::nullopt, "authorization");
    EXPECT_FALSE(r.valueForHTTPHeaderField("Authorization"));
    r.setHTTPBody(std::string());
    ASSERT_TRUE(r.HTTPBody());
    EXPECT_TRUE(r.HTTPBody()->empty());
}

TEST(UTF8, ValidatesAndReplacesByteByByte) {
    struct Case {
        std::string bytes;
        bool valid;
        std::string shown;
    };
    const std::string bad = "\xEF\xBF\xBD";
    const Case cases[] = {
        {"", true, ""},
        {"plain", true, "plain"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", true, "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"a\xC3", false, "a" + bad},                          // cut sequence
        {"\xC0\xAF", false, bad + bad},                       // overlong "/"
        {"\xED\xA0\x80", false, bad + bad + bad},             // surrogate
        {"\xF4\x90\x80\x80", false, bad + bad + bad + bad},   // above U+10FFFF
        {"x\xFFy", false, "x" + bad + "y"},
        {std::string("n\0l", 3), true, std::string("n\0l", 3)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isValidUTF8(c.bytes), c.valid) << c.shown;
        EXPECT_EQ(validUTF8Text(c.bytes), c.shown);
    }
}
