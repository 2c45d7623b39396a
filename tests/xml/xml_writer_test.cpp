// The checked writer against hostile trees: every text it writes must parse as
// well-formed XML 1.0 with an independent parser (libxml2's xmllint), and it
// refuses exactly the trees that hold a piece XML cannot carry.
#include <Orvalis/Utils/XMLTree.h>
#include <TestPki.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace orvalis;
using namespace std::string_literals;

namespace {

struct Piece {
    std::string text;
    bool fits;                        // an XML Name (for names) or XML text (for texts and comments)
    bool fitsAfterUnderscore = fits;  // a name still after a "_"
};

const std::vector<Piece> kNames = {{"a", true}, {"a-b.c", true}, {"\u00e9t\u00e9", true}, {"a:b", true},
    {"a\u0300", true}, {"_a", true}, {"\u212c", false},
    {"\U00010000x", false},  // XML Names, but not to expat's older classes
    {"a b", false}, {"1a", false, true}, {"-a", false, true}, {"\u00d7", false}, {"\u00a0", false},
    {"\u0300a", false, true}, {"a\u037e", false}, {"r><x", false}, {"", false, true}, {"a\0b"s, false},
    {"\xff", false}};
const std::vector<Piece> kTexts = {{"plain", true}, {"]]>", true}, {"<&>\"'", true}, {"\t\n\r", true},
    {"\ud7ff\ue000\ufffd", true}, {"\U0010FFFF", true}, {"\x01", false}, {"\x1f", false}, {"\ufffe", false},
    {"\uffff", false}, {"a\0b"s, false}, {"\xed\xa0\x80", false}, {"\xc0\xaf", false}};
const std::vector<Piece> kComments = {{"a - b", true}, {"-a", true}, {"a--b", false}, {"a-", false}, {"-", false}};

struct Case {
    std::string name;
    Dictionary tree;
    bool fits;
    std::string refusal;  // the description a refusal must give, where one is written down
};

std::vector<Case> hostileTrees() {
    std::vector<Case> cases;
    auto add = [&](std::string name, Dictionary tree, bool fits, std::string refusal = {}) {
        cases.push_back({name + std::to_string(cases.size()), std::move(tree), fits, std::move(refusal)});
    };
    for (const Piece& n : kNames) {
        add("element", Dictionary{{"__name", "r"}, {n.text, "x"}}, n.fits);
        add("attribute", Dictionary{{"__name", "r"}, {"_" + n.text, "1"}}, n.fits);
        add("doubleUnderscore", Dictionary{{"__name", "r"}, {"__" + n.text, "1"}}, n.fitsAfterUnderscore);
        add("grouped", Dictionary{{"__name", "r"}, {"__attributes", Dictionary{{n.text, "1"}}}}, n.fits);
        add("rootName", Dictionary{{"__name", n.text}, {"c", "x"}}, n.fits);
        add("wrapped", Dictionary{{n.text, Dictionary{{"c", "x"}}}}, n.fits && n.text[0] != '_');
    }
    for (const Piece& t : kTexts) {
        add("text", Dictionary{{"__name", "r"}, {"__text", t.text}}, t.fits);
        add("runs", Dictionary{{"__name", "r"}, {"__text", Array{"a", t.text}}}, t.fits);
        add("leaf", Dictionary{{"__name", "r"}, {"c", Array{"a", t.text}}}, t.fits);
        add("value", Dictionary{{"__name", "r"}, {"_v", t.text}}, t.fits);
        add("comment", Dictionary{{"__name", "r"}, {"__comments", t.text}}, t.fits);
    }
    for (const Piece& c : kComments)
        add("dashes", Dictionary{{"__name", "r"}, {"__comments", Array{c.text}}}, c.fits,
            "\"" + c.text + R"(" is a comment holding "--" or ending in "-")");
    add("arrayName", Dictionary{{"__name", Array{"r><x"}}}, false);
    add("twoRoots", Dictionary{{"r", Array{"a", "b"}}}, false);
    add("noRoot", Dictionary{{"r", Array{}}}, false);
    add("textOnly", Dictionary{{"__text", "t"}}, false);
    // A refusal names the first offending key or value.
    add("firstOffender", Dictionary{{"__name", "r"}, {"ok", "1"}, {"__a b", "1"}, {"__c d", "1"}}, false,
        R"("__a b" is not an XML name (as attribute name "_a b"))");
    add("controlCharacter", Dictionary{{"__name", "r"}, {"c", "a\x01"}}, false,
        "\"a\\u0001\" holds a character XML cannot carry (text, byte 1)");
    add("nul", Dictionary{{"__name", "r"}, {"_v", "a\0b"s}}, false,
        "\"a\\u0000b\" holds a character XML cannot carry (attribute value, byte 1)");
    add("digitFirst", Dictionary{{"__name", "r"}, {"1a", "x"}}, false, R"("1a" is not an XML name)");
    add("dashFirst", Dictionary{{"__name", "r"}, {"_-a", "x"}}, false,
        R"("_-a" is not an XML name (as attribute name "-a"))");
    add("dotFirst", Dictionary{{"__name", ".a"}}, false, R"(".a" is not an XML name)");
    add("nameOurReaderCannotRead", Dictionary{{"__name", "r"}, {"\u212c", "x"}}, false,
        "\"\u212c\" is an XML name our reader cannot read back");
    add("numberAsName", Dictionary{{"__name", 5}}, false, R"("5" is a "__name" that is not a string)");
    return cases;
}

TEST(XMLWriting, HostileTreesAreWrittenWellFormedOrRefusedByName) {
    const orvalis::testsupport::TempDir dir;
    std::string files;
    int written = 0;
    for (const Case& c : hostileTrees()) {
        std::optional<XMLWriteError> error;
        std::optional<std::string> xml = XMLTree::wellFormedXMLString(c.tree, error);
        EXPECT_EQ(xml.has_value(), c.fits) << c.name << ": " << (error ? error->description() : *xml);
        EXPECT_EQ(error.has_value(), !xml.has_value()) << c.name;
        if (error && !c.refusal.empty()) { EXPECT_EQ(error->description(), c.refusal) << c.name; }
        if (!xml) continue;
        files += " '" + dir.write(c.name + ".xml", *xml).string() + "'";
        ++written;
    }
    ASSERT_GT(written, 50);
    // Namespace warnings (an undeclared "a:" prefix) are not XML 1.0 errors and leave the status 0.
    const int status = std::system(("xmllint --noout --nonet" + files).c_str());
    EXPECT_EQ(status, 0) << "xmllint found text that is not well-formed XML (see above), or is missing";
}

TEST(XMLWriting, FirstInvalidNameUsesTheRealNameClasses) {
    EXPECT_EQ(XMLTree::firstInvalidName(Value(Dictionary{{"\u00e9", "x"}, {"\u00d7", "x"}})), "\u00d7");
    EXPECT_EQ(XMLTree::firstInvalidName(Value(Dictionary{{"__a b", "1"}})), "__a b");
    EXPECT_EQ(XMLTree::firstInvalidName(Value(Dictionary{{"__name", 5}})), "5");
    EXPECT_EQ(XMLTree::firstInvalidName(Value(Dictionary{{"__text", "\x01"}, {"a\u0300", "x"}})), std::nullopt);
}

}  // namespace
