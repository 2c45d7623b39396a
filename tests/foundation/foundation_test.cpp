#include <Orvalis/Foundation/Error.h>
#include <Orvalis/Foundation/System/Log.h>
#include <Orvalis/Foundation/Transport/URLRequest.h>
#include <Orvalis/Foundation/Value/detail/UTF8.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using namespace orvalis;
using namespace std::string_literals;

TEST(Log, HandlerReceivesLinesSurvivesThrowsAndEmptyHandlerSilences) {
    std::vector<std::string> lines;
    setLogHandler([&](std::string_view l) { lines.emplace_back(l); });
    log("one");
    setLogHandler([](std::string_view) { throw std::runtime_error("sink down"); });
    EXPECT_NO_THROW(log("lost"));
    setLogHandler(nullptr);
    EXPECT_FALSE(logEnabled());
    log("silenced");
    resetLogHandler();
    EXPECT_TRUE(logEnabled());
    EXPECT_EQ(lines, std::vector<std::string>{"one"});
}

TEST(URLRequest, HeaderFieldsKeepOrderAndMatchCaseInsensitively) {
    URLRequest r("https://h/p", URLRequestReloadIgnoringLocalCacheData, 180.0);
    r.setValue("application/json", "Content-Type");
    r.setValue("OAuth x", "Authorization");
    r.setValue("text/plain", "content-type");
    using Fields = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(r.allHTTPHeaderFields(), (Fields{{"Content-Type", "text/plain"}, {"Authorization", "OAuth x"}}));
    EXPECT_EQ(r.valueForHTTPHeaderField("AUTHORIZATION"), "OAuth x");
    r.setValue(std::nullopt, "authorization");
    EXPECT_EQ(r.allHTTPHeaderFields(), (Fields{{"Content-Type", "text/plain"}}));
}

TEST(UTF8, ValidatesAndReplacesByteByByte) {
    const std::string bad = "\xEF\xBF\xBD";  // U+FFFD, as log lines show each bad byte
    // clang-format off
    for (const auto& [bytes, shown] : std::initializer_list<std::pair<std::string, std::string>>{
             {"n\0l"s, "n\0l"s}, {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"}, {"a\xC3", "a" + bad},
             {"\xC0\xAF", bad + bad}, {"\xED\xA0\x80", bad + bad + bad}, {"x\xFFy", "x" + bad + "y"},
             {"\xF4\x90\x80\x80", bad + bad + bad + bad}}) {
        // clang-format on
        EXPECT_EQ(detail::isValidUTF8(bytes), bytes == shown) << bytes;
        EXPECT_EQ(detail::validUTF8Text(bytes), shown) << bytes;
    }
}
