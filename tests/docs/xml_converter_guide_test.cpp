// The examples of docs/xml-converter.md are what the converter does: every
// option example (input, setting, resulting tree) and every row of the
// writing table is read from the guide and run.
#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace orvalis;

namespace {

std::string guide() {
    std::ifstream in(ORVALIS_XML_GUIDE, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The guide writes a line feed as the two characters \n inside inputs and XML.
std::string unescape(std::string text) {
    for (std::size_t at; (at = text.find("\\n")) != std::string::npos;) text.replace(at, 2, "\n");
    return text;
}

Value json(const std::string& text) {
    auto v = JSONSerialization::JSONObjectWithData(text);
    return v ? *v : Value("<not JSON: " + text + ">");
}

// How each bullet label of an option section configures a parser.
void configure(XMLParser& p, const std::string& option, const std::string& label) {
    const bool on = label == "on";
    if (option == "collapseTextNodes") p.setCollapseTextNodes(on);
    if (option == "stripEmptyNodes") p.setStripEmptyNodes(on);
    if (option == "trimWhiteSpace") p.setTrimWhiteSpace(on);
    if (option == "alwaysUseArrays") p.setAlwaysUseArrays(on);
    if (option == "preserveComments") p.setPreserveComments(on);
    if (option == "wrapRootNode") p.setWrapRootNode(on);
    if (option == "attributesMode") p.setAttributesMode(static_cast<std::int64_t>(std::stoll(label)));
    if (option == "nodeNameMode") p.setNodeNameMode(static_cast<std::int64_t>(std::stoll(label)));
}

TEST(XMLConverterGuide, EveryOptionExampleGivesTheTreeShown) {
    const std::string text = guide();
    ASSERT_FALSE(text.empty()) << "cannot read the guide";
    const std::regex heading("^### `(\\w+)`$");
    const std::regex input("^Input .*`([^`]+)`:$");
    const std::regex bullet("^- ([^:]+): `(.+)`$");

    std::istringstream lines(text);
    std::string line, option, doc;
    std::map<std::string, int> checked;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (std::regex_match(line, m, heading)) {
            option = m[1];
            doc.clear();
        } else if (!option.empty() && std::regex_match(line, m, input)) {
            doc = unescape(m[1]);
        } else if (!option.empty() && !doc.empty() && std::regex_match(line, m, bullet)) {
            const std::string label = m[1], shown = m[2];
            XMLParser parser;
            configure(parser, option, label);
            auto tree = parser.dictionaryWithString(doc);
            ASSERT_TRUE(tree) << option << " " << label;
            SCOPED_TRACE(option + ", " + label + ": " + doc);
            if (shown.front() == '{') {
                EXPECT_TRUE(Value(*tree) == json(shown)) << "got " << Value(*tree).description();
            } else {
                // "name": value, one entry of the root.
                Value entry = json("{" + shown + "}");
                ASSERT_TRUE(entry.isDictionary()) << shown;
                for (const auto& e : entry.asDictionary()) {
                    EXPECT_TRUE(tree->objectForKey(e.key()) == e.value()) << "got " << Value(*tree).description();
                }
            }
            ++checked[option];
        }
    }
    // Each of the eight options is shown with at least two settings.
    EXPECT_EQ(checked.size(), 8u);
    for (const auto& [name, count] : checked) EXPECT_GE(count, 2) << name;
}

TEST(XMLConverterGuide, EveryWritingExampleGivesTheXMLShown) {
    const std::string text = guide();
    const std::regex row("^\\| `(\\{.*\\})` \\| `([^`]+)`.*\\|$");
    std::istringstream lines(text);
    std::string line;
    int rows = 0;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, row)) continue;
        Value tree = json(m[1]);
        ASSERT_TRUE(tree.isDictionary()) << m[1];
        EXPECT_EQ(XMLTree::XMLString(tree.asDictionary()), unescape(m[2])) << m[1];
        ++rows;
    }
    EXPECT_GE(rows, 5);
}

}  // namespace
