// Hostile documents for the XML converter that its own suites do not hold: a document cut off
// a million levels deep, whose defined result is the tree read so far. The other cut-off documents
// (in CDATA, at a NUL) and the JSON documents the fuzzer found are rows of those suites' tables.
#include <Orvalis/Utils/XMLParser.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <string>

namespace orvalis {
namespace {

TEST(HostileXML, CutOffDocumentsGiveTheTreeReadSoFar) {
    std::string deep;  // a million levels that never close: no recursion per level
    for (int i = 0; i < 1'000'000; ++i) deep += "<a b='1'>";
    const auto tree = XMLParser().dictionaryWithString(deep);
    ASSERT_TRUE(tree);
    EXPECT_EQ(tree->objectForKey("a").asDictionary().objectForKey("_b"), Value("1"));
}

}  // namespace
}  // namespace orvalis
