// Hostile documents for the JSON reader and the XML converter beyond those of
// their own suites: deep objects and unterminated nesting, numbers at the
// edges of a double, and a deep document that never closes. The point is what
// must not happen (stack overflow, wrong values) and the defined result.
#include <Orvalis/Foundation/JSONSerialization.h>
#include <Orvalis/Utils/XMLParser.h>
#include <Orvalis/Utils/XMLTree.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "Ledger.h"

namespace orvalis::reliability {
namespace {

// Deep enough that any recursion per level overflows an 8 MiB stack; smaller
// under sanitizers, whose frames are several times larger anyway.
constexpr std::size_t kDepth = kSanitized ? 200'000 : 1'000'000;

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    out.reserve(s.size() * n);
    for (std::size_t i = 0; i < n; ++i) out.append(s);
    return out;
}

TEST(HostileJSON, DeepObjectsAndUnterminatedNestingAreNotJSON) {
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(repeat("{\"a\":", kDepth) + "1" + repeat("}", kDepth)));
    // Unterminated: the reader must give up just as safely.
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(repeat("[{\"k\":", kDepth)));
    // The limit itself: as deep as allowed reads, one more does not.
    const std::size_t max = JSONSerialization::kMaxDepth;
    EXPECT_TRUE(JSONSerialization::JSONObjectWithData(repeat("[", max) + repeat("]", max)));
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(repeat("[", max + 1) + repeat("]", max + 1)));
}

// Inputs found by fuzzing the JSON reader: RapidJSON's own conversion gave
// wrong numbers for them (and undefined behaviour on the way).
TEST(HostileJSON, NumbersReadExactlyOrNotAtAll) {
    struct Case {
        const char* text;
        std::optional<double> value;  // none: not JSON
    };
    const Case cases[] = {
        {"[0e-320]", 0.0},
        {"[0.000e-320]", 0.0},
        {"[0e-324]", 0.0},
        {"[1e-400]", 0.0},  // too small reads as zero
        {"[4.9e-324]", 4.9406564584124654e-324},
        {"[1e-320]", 1e-320},
        {"[0.1]", 0.1},
        {"[2.2250738585072011e-308]", 2.2250738585072011e-308},
        {"[1.7976931348623157e308]", 1.7976931348623157e308},
        {"[1.7976931348623159e308]", std::nullopt},  // rounds to infinity
        {"[9223372036854775e308]", std::nullopt},
        {"[1e400]", std::nullopt},
        {"[9223372036854775808]", 9223372036854775808.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto v = JSONSerialization::JSONObjectWithData(c.text);
        ASSERT_EQ(v.has_value(), c.value.has_value());
        if (!v) continue;
        const Value& n = v->asArray()[0];
        ASSERT_TRUE(n.isNumber());
        EXPECT_EQ(n.asDouble(), *c.value);
    }
    // Integers stay integers to the last one that fits.
    const auto ints = JSONSerialization::JSONObjectWithData("[9223372036854775807,-9223372036854775808,-0]");
    ASSERT_TRUE(ints);
    EXPECT_EQ(ints->asArray()[0].asInteger(), INT64_MAX);
    EXPECT_EQ(ints->asArray()[1].asInteger(), INT64_MIN);
    EXPECT_TRUE(ints->asArray()[2].isInteger());
    // The whole document found by the fuzzer is not JSON (it has trailing bytes).
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData("[9223372036854775e308,0e-320]33`8\"e\x93rors\"26"));
}

TEST(HostileXML, UnclosedDeepDocumentGivesThePartialTree) {
    XMLParser parser;
    const auto tree = parser.dictionaryWithString(repeat("<a b='1'>", kDepth));
    ASSERT_TRUE(tree);
    EXPECT_EQ((*tree)["__name"].asString(), "a");
    ASSERT_TRUE(tree->find("a"));
    EXPECT_EQ((*tree)["a"]["_b"].asString(), "1");
}

TEST(HostileXML, ErrorsKeepTheEventsBeforeThem) {
    XMLParser parser;
    // Unterminated CDATA: the open elements stay as they were, the text is dropped.
    const auto cdata = parser.dictionaryWithString("<r><a>1</a><b><![CDATA[never closed");
    ASSERT_TRUE(cdata);
    EXPECT_EQ((*cdata)["a"].asString(), "1");
    ASSERT_TRUE(cdata->objectForKey("b").isDictionary());
    EXPECT_TRUE(cdata->objectForKey("b").asDictionary().empty());
    // A NUL byte ends the document where it stands.
    const auto nul = parser.dictionaryWithData(std::string("<r><a>1</a>\0<c>2</c></r>", 24));
    ASSERT_TRUE(nul);
    EXPECT_EQ((*nul)["a"].asString(), "1");
    EXPECT_FALSE(nul->contains("c"));
}

TEST(HostileJSON, DuplicateKeysAreDeterministic) {
    const auto v = JSONSerialization::JSONObjectWithData(R"({"a":1,"b":2,"a":3})");
    ASSERT_TRUE(v);
    const Dictionary d = v->asDictionary();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d.begin()->key(), "a");  // first place, last value
    EXPECT_EQ(d.objectForKey("a").asInteger(), 3);
}

}  // namespace
}  // namespace orvalis::reliability
