// The documentation shows what the code does: the README's host-app listing
// is the program `make demo` builds, and every option example and writing
// example of docs/xml-converter.md is read from the guide and run.
#include <Orvalis/Foundation/System/detail/File.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <Printers.h>
#include <gtest/gtest.h>
#include <tests/xml/xml_test_util.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>

using namespace orvalis;
using orvalis::testsupport::json;

namespace {

// The guide writes a line feed as the two characters \n.
std::string unescape(std::string text) { return std::regex_replace(text, std::regex(R"(\\n)"), "\n"); }

TEST(Readme, HostAppListingIsTheExampleProgram) {
    const std::string readme = detail::readWholeFile(ORVALIS_README).value_or(""),
                      program = detail::readWholeFile(ORVALIS_HOST_APP).value_or("");
    const std::string begin = "<!-- host-app:begin -->\n```cpp\n", end = "```\n<!-- host-app:end -->";
    const std::size_t b = readme.find(begin), e = readme.find(end);
    ASSERT_TRUE(b != std::string::npos && e != std::string::npos && b < e && !program.empty());
    EXPECT_EQ(readme.substr(b + begin.size(), e - b - begin.size()), program);
}

TEST(XMLConverterGuide, EveryExampleGivesTheResultShown) {
    std::istringstream lines(detail::readWholeFile(ORVALIS_XML_GUIDE).value_or(""));
    const std::regex heading("^### `(\\w+)`$"), input("^Input .*`([^`]+)`:$"), bullet("^- ([^:,]+)[^:]*: `(.+)`$"),
        row("^\\| `(\\{.*\\})` \\| `([^`]+)`.*\\|$");
    std::string line, option, doc;
    std::map<std::string, int> checked;
    for (std::smatch m; std::getline(lines, line);) {
        if (line.starts_with("#")) {
            option = std::regex_match(line, m, heading) ? m.str(1) : "";
            doc.clear();
        } else if (!option.empty() && std::regex_match(line, m, input)) {
            doc = unescape(m[1]);
        } else if (!doc.empty() && std::regex_match(line, m, bullet)) {
            const bool on = m[1] == "on";
            const std::int64_t mode = std::isdigit(m.str(1)[0]) ? std::stoll(m[1]) : 0;
            testsupport::Options o;  // the heading's option as the bullet sets it, the others at their defaults
            for (auto [name, flag] : {std::pair("collapseTextNodes", &o.collapse), {"stripEmptyNodes", &o.strip},
                     {"trimWhiteSpace", &o.trim}, {"alwaysUseArrays", &o.arrays}, {"preserveComments", &o.comments},
                     {"wrapRootNode", &o.wrap}})
                if (option == name) *flag = on;
            if (option == "attributesMode") o.attributes = mode;
            if (option == "nodeNameMode") o.names = mode;
            // A bullet showing "name": value shows one entry of the root.
            const std::string shown = m.str(2)[0] == '{' ? m.str(2) : "{\"__name\":\"r\"," + m.str(2) + "}";
            EXPECT_EQ(testsupport::parse(doc, o), json(shown)) << option << " " << m[1] << ": " << doc;
            ++checked[option];
        } else if (std::regex_match(line, m, row)) {
            EXPECT_EQ(XMLTree::XMLString(json(m.str(1)).asDictionary()), unescape(m[2])) << m[1];
            ++checked["writing"];
        }
    }
    EXPECT_EQ(checked.size(), 9u);  // each option with at least two settings, and the writing table
    for (const auto& [name, count] : checked) EXPECT_GE(count, 2) << name;
}

}  // namespace
