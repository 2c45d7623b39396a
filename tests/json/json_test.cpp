#include <Orvalis/Foundation/JSONSerialization.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using namespace orvalis;
using namespace std::string_literals;

namespace {

// Sanitizers make every step many times slower; a fifth of the depth still
// overflows any stack if something recursed per level.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kDeep = 200'000;
#else
constexpr std::size_t kDeep = 1'000'000;
#endif

std::string deepArrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct Text {
    const char* name;
    std::string text;
    bool json;
};
class JSONReading : public ::testing::TestWithParam<Text> {};

TEST_P(JSONReading, AcceptsExactlyOneObjectOrArray) {
    EXPECT_EQ(JSONSerialization::JSONObjectWithData(GetParam().text).has_value(), GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JSONReading,
    ::testing::Values(Text{"Object", R"({"a":1})", true}, Text{"SpacedArray", " \t\r\n[1]\n ", true},
                      Text{"EmptyArray", "[]", true}, Text{"EmptyObject", "{}", true}, Text{"Empty", "", false},
                      Text{"Spaces", "   ", false}, Text{"TopLevelNull", "null", false},
                      Text{"TopLevelNumber", "1", false}, Text{"TopLevelString", R"("s")", false},
                      Text{"TopLevelBool", "true", false}, Text{"TwoValues", "[1] [2]", false},
                      Text{"TrailingText", "{} x", false}, Text{"NulAfterValue", "[1]\0"s, false},
                      Text{"RawNulInString", "[\"a\0b\"]"s, false}, Text{"TrailingComma", "[1,]", false},
                      Text{"TrailingCommaInObject", "{\"a\":1,}", false}, Text{"InvalidByte", "[\xff]", false},
                      Text{"InvalidUTF8InString", "[\"\xc3\x28\"]", false},
                      Text{"EncodedSurrogate", "[\"\xed\xa0\x80\"]", false}, Text{"OutOfDoubleRange", "[1e400]", false},
                      Text{"NaN", "[NaN]", false}, Text{"XML", "<r/>", false},
                      Text{"DeepestAllowed", deepArrays(JSONSerialization::kMaxDepth), true},
                      Text{"OneTooDeep", deepArrays(JSONSerialization::kMaxDepth + 1), false},
                      Text{"MillionDeep", deepArrays(kDeep), false},
                      Text{"MillionOpen", std::string(kDeep, '['), false},
                      Text{"DeepOpenObjects",
                           [] {
                               std::string s;
                               for (int i = 0; i < 200'000; ++i) s += "{\"a\":";
                               return s;
                           }(),
                           false}),
    orvalis::testsupport::RowName());

TEST(JSONReading, NumbersKeepTheirKindAndEveryDigitTheyCan) {
    auto v = JSONSerialization::JSONObjectWithData(
        "[0, -1, 9223372036854775807, -9223372036854775808, 9223372036854775808, 18446744073709551616,"
        " 1.5, 1e3, -0.0, 123456789012345678901234567890, 0e-320, 1e-400, 0.1]");
    const Array a = v.value().asArray();
    ASSERT_EQ(a.size(), 13u);
    for (std::size_t i : {0, 1, 2, 3}) EXPECT_TRUE(a[i].isInteger()) << i;
    for (std::size_t i : {4, 5, 6, 7, 8, 9, 10, 11, 12}) EXPECT_TRUE(a[i].isDouble()) << i;  // never wrapped
    EXPECT_EQ(a[1].asInteger(), -1);
    EXPECT_EQ(a[2].asInteger(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(a[3].asInteger(), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(a[4].asDouble(), 9223372036854775808.0);
    EXPECT_EQ(a[5].asDouble(), 18446744073709551616.0);
    EXPECT_EQ(a[7].asDouble(), 1000.0);
    EXPECT_TRUE(std::signbit(a[8].asDouble()));
    EXPECT_EQ(a[9].asDouble(), 1.2345678901234568e29);
    EXPECT_EQ(a[10].asDouble(), 0.0);
    EXPECT_EQ(a[11].asDouble(), 0.0);  // too small reads as zero
    EXPECT_EQ(a[12].asDouble(), 0.1);
}

TEST(JSONReading, StringsRepeatedKeysAndFreshContainers) {
    auto v = JSONSerialization::JSONObjectWithData(
        R"({"s":"a\u0000b\n\u00e9\ud83d\ude00","k":{"x":[null,true,false]},"dup":1,"dup":2})");
    Dictionary d = v.value().asDictionary();
    EXPECT_EQ(d["s"].asString(), "a\0b\n\xc3\xa9\xf0\x9f\x98\x80"s);
    EXPECT_EQ(d, (Dictionary{{"s", d.objectForKey("s")},
                             {"k", Dictionary{{"x", Array{nullptr, true, false}}}},
                             {"dup", 2}}));  // a repeated key keeps one entry, the last value
    EXPECT_EQ(d.begin()[2].key(), "dup");    // at its first position
    d.objectForKey("k").asDictionary().objectForKey("x").asArray().push_back(Value("more"));  // containers are mutable
    EXPECT_EQ(d.objectForKey("k").asDictionary().objectForKey("x").asArray().size(), 4u);
}

TEST(JSONWriting, CompactAndPrettyBytesRoundTrip) {
    Dictionary d{{"b", Array{1, 2.5, "x\"\\/\n\x01", nullptr, true}}, {"a", Dictionary{}}, {"e", Array{}}};
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value(d), false),
              R"({"b":[1,2.5,"x\"\\/\n\u0001",null,true],"a":{},"e":[]})");
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value(d), true),
              "{\n  \"b\": [\n    1,\n    2.5,\n    \"x\\\"\\\\/\\n\\u0001\",\n    null,\n    true\n  ],\n"
              "  \"a\": {},\n  \"e\": []\n}");
    auto v = JSONSerialization::JSONObjectWithData(
        R"({"id":-42,"big":9223372036854775807,"f":0.1,"s":"\u00e9\ud83d\ude00 \u0000","n":null,"l":[[],[{}],[1,[2,[3]]]]})");
    for (bool pretty : {false, true})
        EXPECT_EQ(JSONSerialization::JSONObjectWithData(JSONSerialization::dataWithJSONObject(v.value(), pretty)), v);
}

TEST(JSONWriting, RefusesWhatJSONCannotHold) {
    for (const Value& v :
         {Value(Array{std::numeric_limits<double>::infinity()}), Value(Dictionary{{"x", std::nan("")}}),
          Value(Array{"\xff"}), Value(Dictionary{{"\xc3", 1}}), Value("top-level string"), Value(1), Value()})
        for (bool pretty : {false, true})
            EXPECT_THROW(JSONSerialization::dataWithJSONObject(v, pretty), JSONSerializationError) << v.description();
}

TEST(JSONWriting, DeepTreesDoNotRecurse) {
    Array top, cur = top;
    for (std::size_t i = 0; i < kDeep; ++i) {
        Array next;
        cur.push_back(Value(next));
        cur = next;
    }
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value(top), false), deepArrays(kDeep + 1));
}

}  // namespace
