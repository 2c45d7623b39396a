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

TEST(XMLHostileInput, MillionLevelsBuildLookUpWriteAndFree) {
    constexpr std::size_t kDepth = 1'000'000;
    std::string doc;
    doc.reserve(kDepth * 7 + 8);
    for (std::size_t i = 0; i < kDepth; ++i) doc += "<a>";
    doc += "x";
    for (std::size_t i = 0; i < kDepth; ++i) doc += "</a>";

    for (bool arrays : {false, true}) {
        XMLParser p;
        p.setAlwaysUseArrays(arrays);
        auto tree = p.dictionaryWithString(doc);
        ASSERT_TRUE(tree);

        std::string path = "a";
        for (std::size_t i = 2; i < kDepth; ++i) path += ".a";
        Value found = XMLTree::valueForKeyPath(*tree, path);
        if (arrays) {
            // Each level wraps the result in one more array.
            Value v = found;
            std::size_t levels = 0;
            while (v.isArray() && v.asArray().size() == 1) {
                v = v.asArray()[0];
                ++levels;
            }
            EXPECT_EQ(levels, kDepth - 1);
            EXPECT_EQ(v, Value("x"));
        } else {
            EXPECT_EQ(found, Value("x"));
            EXPECT_EQ(XMLTree::stringValueForKeyPath(*tree, path), Value("x"));
        }

        std::string xml = XMLTree::XMLString(*tree);
        EXPECT_EQ(xml.size(), doc.size());
        EXPECT_EQ(xml.substr(0, 6), "<a><a>");
        EXPECT_GT(JSONSerialization::dataWithJSONObject(Value(*tree), false).size(), kDepth);
        tree.reset();  // freeing a million nested nodes must not recurse
    }
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
