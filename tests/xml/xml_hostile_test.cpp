#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "xml_test_util.h"

using namespace orvalis;
using orvalis::testing::json;

namespace {

// Total bytes of text held anywhere in a tree (iteratively).
std::size_t textBytes(const Value& root) {
    std::size_t total = 0;
    std::vector<Value> work{root};
    while (!work.empty()) {
        Value v = std::move(work.back());
        work.pop_back();
        if (v.isString()) total += v.asString().size();
        if (v.isArray())
            for (const Value& e : v.asArray()) work.push_back(e);
        if (v.isDictionary())
            for (const auto& e : v.asDictionary()) work.push_back(e.value());
    }
    return total;
}

TEST(XMLHostileInput, BillionLaughsStopsWithABoundedTree) {
    std::string doc = "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol0 'lol'>";
    for (int i = 1; i < 10; ++i)
        doc += "<!ENTITY lol" + std::to_string(i) + " '" + [&] {
            std::string s;
            for (int k = 0; k < 10; ++k) s += "&lol" + std::to_string(i - 1) + ";";
            return s;
        }() + "'>";
    doc += "]><lolz><a>start</a><b>&lol9;</b></lolz>";
    XMLParser p;
    XMLEventSource source(doc);
    auto tree = p.dictionaryWithParser(source);
    EXPECT_NE(source.errorCode(), 0);  // the expansion limit stopped it
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->objectForKey("a"), Value("start"));
    EXPECT_LT(textBytes(Value(*tree)), std::size_t{64} << 20);  // 3 GB if expanded fully
}

TEST(XMLHostileInput, ExternalEntitiesAndDTDsAreNeverRead) {
    auto dir = std::filesystem::temp_directory_path() / ("orvalis-xxe-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string secret = "TOP-SECRET-CONTENT";
    {
        std::ofstream(dir / "secret.txt") << secret;
        std::ofstream(dir / "evil.dtd") << "<!ENTITY leak SYSTEM 'file://" + (dir / "secret.txt").string() +
                                               "'><!ENTITY inner '" + secret + "'>";
    }
    const std::string fileURL = "file://" + (dir / "secret.txt").string();
    const std::string dtdURL = "file://" + (dir / "evil.dtd").string();
    const std::string docs[] = {
        "<!DOCTYPE r [<!ENTITY x SYSTEM '" + fileURL + "'>]><r><a>before</a><b>&x;</b><c>after</c></r>",
        "<!DOCTYPE r SYSTEM '" + dtdURL + "'><r><a>before</a><b>&leak;&inner;</b><c>after</c></r>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM '" + dtdURL + "'>%p;]><r><a>before</a><b>&inner;</b></r>",
        "<!DOCTYPE r [<!ENTITY x SYSTEM '" + fileURL + "'>]><r a='&x;'><a>before</a></r>",
    };
    for (const std::string& doc : docs) {
        XMLParser p;
        auto tree = p.dictionaryWithString(doc);
        if (&doc == &docs[3]) {  // an external entity in an attribute is an error before the root
            EXPECT_FALSE(tree);
            continue;
        }
        ASSERT_TRUE(tree) << doc;
        EXPECT_EQ(tree->objectForKey("a"), Value("before")) << doc;
        std::string all = JSONSerialization::dataWithJSONObject(Value(*tree), false);
        EXPECT_EQ(all.find(secret), std::string::npos) << all;
    }
    std::filesystem::remove_all(dir);
}

// Sanitizers make every step many times slower; a fifth of the depth still
// overflows any stack if something recursed per level.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kDepth = 200'000;
#else
constexpr std::size_t kDepth = 1'000'000;
#endif

std::string millionLevels() {
    std::string doc;
    doc.reserve(kDepth * 7 + 1);
    for (std::size_t i = 0; i < kDepth; ++i) doc += "<a>";
    doc += "x";
    for (std::size_t i = 0; i < kDepth; ++i) doc += "</a>";
    return doc;
}

std::string pathOfLevels(std::size_t n) {
    std::string path = "a";
    for (std::size_t i = 1; i < n; ++i) path += ".a";
    return path;
}

TEST(XMLHostileInput, MillionLevelsBuildLookUpWriteAndFree) {
    const std::string doc = millionLevels();
    XMLParser p;
    auto tree = p.dictionaryWithString(doc);
    ASSERT_TRUE(tree);
    // The innermost element collapsed into its parent.
    EXPECT_EQ(XMLTree::stringValueForKeyPath(*tree, pathOfLevels(kDepth - 1)), Value("x"));
    EXPECT_EQ(XMLTree::XMLString(*tree), doc);
    tree.reset();  // freeing a million nested nodes must not recurse
}

TEST(XMLHostileInput, MillionLevelsOfArraysLookUp) {
    XMLParser p;
    p.setAlwaysUseArrays(true);
    auto tree = p.dictionaryWithString(millionLevels());
    ASSERT_TRUE(tree);
    // Every level is an array, so each wraps the result in one more array.
    Value v = XMLTree::valueForKeyPath(*tree, pathOfLevels(kDepth - 1));
    std::size_t levels = 0;
    while (v.isArray() && v.asArray().size() == 1) {
        v = v.asArray()[0];
        ++levels;
    }
    EXPECT_EQ(levels, kDepth - 1);
    EXPECT_EQ(v, Value("x"));
}

TEST(XMLHostileInput, HugeTextNodeIsKeptWhole) {
    constexpr std::size_t kSize = 200u << 20;
    std::string doc = "<r><t>";
    doc.append(kSize, 'x');
    doc += "</t></r>";
    XMLParser p;
    auto tree = p.dictionaryWithData(doc);
    doc = std::string();
    ASSERT_TRUE(tree);
    Value t = tree->objectForKey("t");
    ASSERT_TRUE(t.isString());
    EXPECT_EQ(t.asString().size(), kSize);
}

// Past a size the document reaches the reader in pieces: tags, attribute
// values, entities, CDATA and comments then straddle piece boundaries, and an
// error after the first piece still keeps the events before it.
TEST(XMLHostileInput, DocumentsLargerThanOnePieceKeepEveryEvent) {
    std::string doc = "<r>";
    std::size_t n = 0;
    while (doc.size() < (std::size_t{18} << 20)) {
        std::string i = std::to_string(n++);
        doc += "<e id=\"" + i + "\"><t>v&amp;" + i + "</t><c><![CDATA[<" + i + ">]]><!--" + i + "--></c></e>";
    }
    const std::size_t records = n;
    XMLParser p;
    p.setPreserveComments(true);
    for (bool broken : {false, true}) {
        std::string text = broken ? doc + "<e>\x01</e>" : doc + "</r>";
        auto tree = p.dictionaryWithData(text);
        ASSERT_TRUE(tree);
        Value e = tree->objectForKey("e");
        ASSERT_TRUE(e.isArray());
        ASSERT_EQ(e.asArray().size(), records + (broken ? 1 : 0)) << broken;
        for (std::size_t k = 0; k < records; ++k) {
            std::string i = std::to_string(k);
            Dictionary node = e.asArray()[k].asDictionary();
            ASSERT_EQ(node.objectForKey("_id"), Value(i)) << k;
            ASSERT_EQ(node.objectForKey("t"), Value("v&" + i)) << k;
            Dictionary c = node.objectForKey("c").asDictionary();
            ASSERT_EQ(c.objectForKey("__text"), Value("<" + i + ">")) << k;
            ASSERT_EQ(c.objectForKey("__comments"), Value(Array{Value(i)})) << k;
        }
    }
}

TEST(XMLHostileInput, ByteFlipsNeverCrashAndKeepEarlierEvents) {
    const std::string good = "<r a='1'><x>1</x><y><![CDATA[c]]><!--k--></y><z>&amp;</z></r>";
    std::size_t trees = 0;
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (unsigned char b : {0x00, 0x3C, 0x26, 0xFF, 0xC3}) {
            std::string doc = good;
            doc[i] = static_cast<char>(b);
            XMLParser p;
            p.setPreserveComments(true);
            auto tree = p.dictionaryWithData(doc);
            if (tree) {
                ++trees;
                XMLTree::XMLString(*tree);  // whatever was built can be written
            }
        }
        XMLParser p;
        auto cut = p.dictionaryWithData(std::string_view(good).substr(0, i));
        EXPECT_EQ(cut.has_value(), i >= 9) << i;  // a tree once the root's start tag is complete
    }
    EXPECT_GT(trees, good.size());
}

}  // namespace
