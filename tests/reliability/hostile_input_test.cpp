// Hostile documents for the XML converter that its own suites do not hold: documents cut off
// mid-way (deep, in CDATA, at a NUL), whose defined result is the tree read so far. The JSON
// documents the fuzzer found are rows of the JSON suite's tables.
#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace orvalis {
namespace {

TEST(HostileXML, CutOffDocumentsGiveTheTreeReadSoFar) {
    XMLParser parser;
    std::string deep;  // a million levels that never close: no recursion per level
    for (int i = 0; i < 1'000'000; ++i) deep += "<a b='1'>";
    const auto tree = parser.dictionaryWithString(deep);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->objectForKey("a").asDictionary().objectForKey("_b"), Value("1"));
    // Unterminated CDATA: the open elements stay as they were, the text is dropped.
    const auto cdata = parser.dictionaryWithString("<r><a>1</a><b><![CDATA[never closed");
    ASSERT_TRUE(cdata);
    EXPECT_EQ(cdata->description(), R"({"__name":"r","a":"1","b":{}})");
    // A NUL byte ends the document where it stands.
    const auto nul = parser.dictionaryWithData(std::string("<r><a>1</a>\0<c>2</c></r>", 24));
    ASSERT_TRUE(nul);
    EXPECT_EQ(nul->description(), R"({"__name":"r","a":"1"})");
}

}  // namespace
}  // namespace orvalis
