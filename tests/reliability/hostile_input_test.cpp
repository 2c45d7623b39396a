// Hostile documents for the JSON reader and the XML converter that their own suites do not hold:
// numbers the fuzzer found RapidJSON's own conversion getting wrong, repeated keys, and documents
// cut off mid-way (deep, in CDATA, at a NUL), whose defined result is the tree read so far.
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

struct Number {
    const char* name;
    const char* text;
    std::optional<double> value;  // none: not JSON
};
class JSONNumber : public ::testing::TestWithParam<Number> {};
// Past the double range a number keeps its text; its double is an infinity.
constexpr double kInfinity = std::numeric_limits<double>::infinity();

TEST_P(JSONNumber, ReadsExactlyOrNotAtAll) {
    const auto v = JSONSerialization::JSONObjectWithData(GetParam().text).value;
    ASSERT_EQ(v.has_value(), GetParam().value.has_value());
    if (v) { EXPECT_EQ(v->asArray()[0].asDouble(), *GetParam().value); }
}

INSTANTIATE_TEST_SUITE_P(Rows, JSONNumber,
                         ::testing::Values(Number{"ZeroWithTinyExponent", "[0e-320]", 0.0}, Number{"ZeroWithFraction", "[0.000e-320]", 0.0},
                                           Number{"ZeroBelowTheSmallest", "[0e-324]", 0.0}, Number{"UnderflowIsZero", "[1e-400]", 0.0},
                                           Number{"SmallestSubnormal", "[4.9e-324]", 4.9406564584124654e-324},
                                           Number{"Subnormal", "[1e-320]", 1e-320}, Number{"SmallestNormal", "[2.2250738585072011e-308]", 2.2250738585072011e-308},
                                           Number{"Largest", "[1.7976931348623157e308]", 1.7976931348623157e308},
                                           Number{"RoundsToInfinity", "[1.7976931348623159e308]", kInfinity},
                                           Number{"HugeMantissaAndExponent", "[9223372036854775e308]", kInfinity},
                                           Number{"FuzzerDocumentWithTrailingBytes", "[9223372036854775e308,0e-320]33`8\"e\x93rors\"26", std::nullopt}),
                         [](const auto& info) { return info.param.name; });

TEST(HostileJSON, RepeatedKeyKeepsItsFirstPlaceAndLastValueAndMinusZeroStaysAnInteger) {
    const auto v = JSONSerialization::JSONObjectWithData(R"({"a":1,"b":2,"a":3,"z":[-0]})").value;
    ASSERT_TRUE(v);
    EXPECT_EQ(v->asDictionary().description(), R"({"a":3,"b":2,"z":[0]})");
    EXPECT_TRUE(v->asDictionary().objectForKey("z").asArray()[0].isInteger());
}

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
