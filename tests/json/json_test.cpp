#include <Orvalis/Foundation/JSONSerialization.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using namespace orvalis;

namespace {

// Sanitizers make every step many times slower; a fifth of the depth still
// overflows any stack if something recursed per level.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kDeep = 200'000;
#else
constexpr std::size_t kDeep = 1'000'000;
#endif

std::string deepArrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JSONReading, AcceptsExactlyOneObjectOrArray) {
    struct Case {
        std::string text;
        bool json;
    };
    const Case cases[] = {
        {R"({"a":1})", true},
        {" \t\r\n[1]\n ", true},
        {"[]", true},
        {"{}", true},
        {"", false},
        {"   ", false},
        {"null", false},  // top-level scalars are not JSON here
        {"1", false},
        {R"("s")", false},
        {"true", false},
        {"[1] [2]", false},
        {"{} x", false},
        {std::string("[1]\0", 4), false},       // NUL after the value
        {std::string("[\"a\0b\"]", 7), false},  // raw NUL inside a string
        {"[1,]", false},
        {"{\"a\":1,}", false},
        {"[\xff]", false},
        {"[\"\xc3\x28\"]", false},      // invalid UTF-8 in a string
        {"[\"\xed\xa0\x80\"]", false},  // encoded surrogate
        {"[1e400]", false},             // out of double range
        {"[NaN]", false},
        {"<r/>", false},
        {deepArrays(JSONSerialization::kMaxDepth), true},
        {deepArrays(JSONSerialization::kMaxDepth + 1), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(JSONSerialization::JSONObjectWithData(c.text).has_value(), c.json) << c.text.substr(0, 40);
}

TEST(JSONReading, MillionNestedArraysAreRefusedWithoutCrashing) {
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(deepArrays(kDeep)));
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(std::string(kDeep, '[')));
    std::string objects;
    for (int i = 0; i < 200'000; ++i) objects += "{\"a\":";
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(objects));
}

TEST(JSONReading, NumbersKeepTheirKindAndRange) {
    auto v = JSONSerialization::JSONObjectWithData(
        "[0, -1, 9223372036854775807, -9223372036854775808, 9223372036854775808, 18446744073709551616,"
        " 1.5, 1e3, -0.0, 123456789012345678901234567890]");
    ASSERT_TRUE(v);
    Array a = v->asArray();
    ASSERT_EQ(a.size(), 10u);
    EXPECT_TRUE(a[0].isInteger());
    EXPECT_EQ(a[1].asInteger(), -1);
    EXPECT_TRUE(a[2].isInteger());
    EXPECT_EQ(a[2].asInteger(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(a[3].asInteger(), std::numeric_limits<std::int64_t>::min());
    EXPECT_TRUE(a[4].isDouble());  // above int64: a double, never wrapped
    EXPECT_DOUBLE_EQ(a[4].asDouble(), 9223372036854775808.0);
    EXPECT_TRUE(a[5].isDouble());
    EXPECT_DOUBLE_EQ(a[6].asDouble(), 1.5);
    EXPECT_TRUE(a[7].isDouble());
    EXPECT_DOUBLE_EQ(a[7].asDouble(), 1000.0);
    EXPECT_TRUE(std::signbit(a[8].asDouble()));
    EXPECT_DOUBLE_EQ(a[9].asDouble(), 1.2345678901234568e29);
}

TEST(JSONReading, StringsAndContainers) {
    auto v = JSONSerialization::JSONObjectWithData(
        R"({"s":"a\u0000b\n\u00e9\ud83d\ude00","k":{"x":[null,true,false]},"dup":1,"dup":2})");
    ASSERT_TRUE(v);
    Dictionary d = v->asDictionary();
    EXPECT_EQ(d["s"].asString(), std::string_view("a\0b\n\xc3\xa9\xf0\x9f\x98\x80", 10));
    EXPECT_EQ(d.size(), 3u);  // a repeated key keeps one entry, the last value
    EXPECT_EQ(d.objectForKey("dup").asInteger(), 2);
    Array x = d.objectForKey("k").asDictionary().objectForKey("x").asArray();
    ASSERT_EQ(x.size(), 3u);
    EXPECT_TRUE(x[0].isNull());
    EXPECT_TRUE(x[1].asBool());
    // Containers are mutable and independent per read.
    x.push_back(Value("more"));
    EXPECT_EQ(d.objectForKey("k").asDictionary().objectForKey("x").asArray().size(), 4u);
}

TEST(JSONWriting, CompactAndPrettyBytes) {
    Dictionary d{{"b", Value(Array{Value(1), Value(2.5), Value("x\"\\/\n\x01"), Value(), Value(true)})},
                 {"a", Value(Dictionary{})},
                 {"e", Value(Array{})}};
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value(d), false),
              R"({"b":[1,2.5,"x\"\\/\n\u0001",null,true],"a":{},"e":[]})");
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value(d), true),
              "{\n  \"b\": [\n    1,\n    2.5,\n    \"x\\\"\\\\/\\n\\u0001\",\n    null,\n    true\n  ],\n"
              "  \"a\": {},\n  \"e\": []\n}");
}

TEST(JSONWriting, RoundTripsWhatItReads) {
    const char* text =
        R"({"id":-42,"big":9223372036854775807,"f":0.1,"s":"\u00e9\ud83d\ude00 \u0000","n":null,"l":[[],[{}],[1,[2,[3]]]]})";
    auto v = JSONSerialization::JSONObjectWithData(text);
    ASSERT_TRUE(v);
    for (bool pretty : {false, true}) {
        auto again = JSONSerialization::JSONObjectWithData(JSONSerialization::dataWithJSONObject(*v, pretty));
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, *v);
    }
}

TEST(JSONWriting, RefusesWhatJSONCannotHold) {
    const Value bad[] = {
        Value(Array{Value(std::numeric_limits<double>::infinity())}),
        Value(Dictionary{{"x", Value(std::nan(""))}}),
        Value(Array{Value("\xff")}),
        Value(Dictionary{{"\xc3", Value(1)}}),
        Value("top-level string"),
        Value(1),
        Value(),
    };
    for (const Value& v : bad)
        for (bool pretty : {false, true})
            EXPECT_THROW(JSONSerialization::dataWithJSONObject(v, pretty), JSONSerializationError) << v.description();
}

TEST(JSONWriting, DeepTreesDoNotRecurse) {
    Array top;
    Array cur = top;
    for (std::size_t i = 0; i < kDeep; ++i) {
        Array next;
        cur.push_back(Value(next));
        cur = next;
    }
    std::string text = JSONSerialization::dataWithJSONObject(Value(top), false);
    EXPECT_EQ(text, deepArrays(kDeep + 1));
    EXPECT_FALSE(JSONSerialization::JSONObjectWithData(text));  // deeper than the reader takes
}

}  // namespace
