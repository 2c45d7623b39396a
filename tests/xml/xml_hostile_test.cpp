#include <Orvalis/C/orvalis.h>
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <Printers.h>
#include <TestPki.h>
#include <gtest/gtest.h>

#include <string>

#include "xml_test_util.h"

using namespace orvalis;
using namespace orvalis::testsupport;

namespace {

// Entities defined outside (a file, an external DTD) are never read, and nested ones (a billion laughs, 3 GB)
// expand only up to the reader's limit: the tree read so far, bounded.
TEST(XMLHostileInput, ExternalEntitiesAreNeverReadAndExpansionStopsWithABoundedTree) {
    TempDir dir;
    const std::string secret = "TOP-SECRET-CONTENT", file = "file://" + (dir.path() / "secret.txt").string();
    dir.write("secret.txt", secret);
    const std::string dtd =
        "file://" +
        dir.write("evil.dtd", "<!ENTITY leak SYSTEM '" + file + "'><!ENTITY inner '" + secret + "'>").string();
    std::string laughs = "<!DOCTYPE r [<!ENTITY l0 'lol'>";
    for (int i = 1; i < 10; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " '";
        for (int k = 0; k < 10; ++k) laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "'>";
    }
    for (const std::string& doc :
        {"<!DOCTYPE r [<!ENTITY x SYSTEM '" + file + "'>]><r><a>before</a><b>&x;</b><c>after</c></r>",
            "<!DOCTYPE r SYSTEM '" + dtd + "'><r><a>before</a><b>&leak;&inner;</b><c>after</c></r>",
            "<!DOCTYPE r [<!ENTITY % p SYSTEM '" + dtd + "'>%p;]><r><a>before</a><b>&inner;</b></r>",
            laughs + "]><r><a>before</a><b>&l9;</b></r>"}) {
        XMLEventSource source(doc);
        auto tree = XMLParser().dictionaryWithParser(source);
        ASSERT_TRUE(tree) << doc.substr(0, 200);
        EXPECT_EQ(tree->objectForKey("a"), Value("before")) << doc.substr(0, 200);
        const std::string read = JSONSerialization::dataWithJSONObject(Value(*tree), false);
        EXPECT_EQ(read.find(secret), std::string::npos);
        EXPECT_LT(read.size(), std::size_t{64} << 20);
        if (doc.starts_with(laughs)) { EXPECT_EQ(source.result().status, ParseStatus::LimitReached); }
    }
    // An external entity in an attribute is an error before the root.
    EXPECT_FALSE(XMLParser().dictionaryWithString("<!DOCTYPE r [<!ENTITY x SYSTEM '" + file + "'>]><r a='&x;'/>"));
}

constexpr std::size_t kDepth = 300'000;  // a stack frame per level would overflow an 8 MiB stack

TEST(XMLHostileInput, DeepLevelsBuildLookUpWriteAndFree) {
    std::string open, close, path = "a";
    for (std::size_t i = 0; i < kDepth; ++i) open += "<a>", close += "</a>";
    const std::string doc = open + "x" + close;
    for (std::size_t i = 2; i < kDepth; ++i) path += ".a";
    auto tree = XMLParser().dictionaryWithString(doc);
    ASSERT_TRUE(tree);
    EXPECT_EQ(XMLTree::stringValueForKeyPath(*tree, path), Value("x"));  // the innermost collapsed
    EXPECT_EQ(XMLTree::XMLString(*tree), doc);
    tree.reset();  // freeing must not recurse either
    // With every child in an array, each level wraps the result in one more.
    Value v = XMLTree::valueForKeyPath(parse(doc, {.arrays = true}).asDictionary(), path);
    std::size_t levels = 0;
    for (; v.isArray() && v.asArray().size() == 1; ++levels) v = Value(v.asArray()[0]);
    EXPECT_EQ(levels, kDepth - 1);
    EXPECT_EQ(v, Value("x"));
}

// Past a size the document reaches the reader in pieces: a long text, tags,
// attribute values, entities, CDATA and comments then straddle piece
// boundaries, and an error after the first piece still keeps the events before it.
TEST(XMLHostileInput, DocumentsLargerThanOnePieceKeepEveryEvent) {
    const std::string big(std::size_t{20} << 20, 'x');
    std::string doc = "<r><big>" + big + "</big>";
    std::size_t records = 0;
    for (; doc.size() < (std::size_t{38} << 20); ++records) {
        std::string i = std::to_string(records);
        doc += "<e id=\"" + i + "\"><t>v&amp;" + i + "</t><c><![CDATA[<" + i + ">]]><!--" + i + "--></c></e>";
    }
    for (bool broken : {false, true}) {
        Dictionary tree = parse(doc + (broken ? "<e>\x01</e>" : "</r>"), {.comments = true}).asDictionary();
        EXPECT_TRUE(tree["big"].asString() == big);
        Value e = tree.objectForKey("e");
        ASSERT_EQ(e.asArray().size(), records + (broken ? 1 : 0)) << broken;
        for (std::size_t k = 0; k < records; ++k) {
            std::string i = std::to_string(k);
            ASSERT_EQ(e.asArray()[k], json(R"({"_id":")" + i + R"(","t":"v&)" + i + R"(","c":{"__text":"<)" + i +
                                           R"(>","__comments":[")" + i + R"("]}})"));
        }
    }
}

// The C converters read exactly the length given: a NUL inside is input (which neither XML nor JSON
// carries raw), and the bytes past the end are never read; they hand over the whole text with its length.
TEST(XMLHostileInput, CConvertersReadExactlyTheLengthGiven) {
    using namespace std::string_literals;
    // to JSON (or to XML), the text, the length given, and the text handed over (nullptr: refused as malformed)
    for (const auto& [toJSON, text, given, expected] :
        std::initializer_list<std::tuple<bool, std::string, size_t, const char*>>{
            {true, "<a>1</a><junk", 8, R"({"__name":"a","__text":"1"})"}, {true, "<a>1</a>\0<b/>"s, 13, nullptr},
            {false, R"({"a":"1"}junk)", 9, "<a>1</a>"}, {false, "{\"a\":\"1\"}\0{}"s, 12, nullptr},
            {false, R"({"r":"a\u0000b"})", 16, nullptr}}) {
        char* out = nullptr;
        size_t length = 99;
        const orvalis_status status = toJSON ? orvalis_xml_to_json_sized(text.data(), given, nullptr, &out, &length)
                                             : orvalis_json_to_xml_sized(text.data(), given, &out, &length);
        EXPECT_EQ(status, expected ? ORVALIS_OK : ORVALIS_ERROR_MALFORMED_INPUT) << text;
        ASSERT_TRUE(out || length == 0) << text;  // a refusal hands over nothing
        EXPECT_EQ(std::string(out ? out : "", length), expected ? expected : "") << text;
        orvalis_free(out);
    }
}

}  // namespace
