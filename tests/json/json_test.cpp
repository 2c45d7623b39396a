#include <Orvalis/Foundation/Formats/JSONSerialization.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <tuple>

using namespace orvalis;
using namespace orvalis::testsupport;
using namespace std::string_literals;

namespace {

constexpr std::size_t kDeep = 300'000;  // a stack frame per level would overflow an 8 MiB stack

std::string deepArrays(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// {"k":"é€😀"} in UTF-16 or UTF-32 (unit 2 or 4), either byte order, with or without a mark.
std::string encoded(int unit, bool big, bool mark) {
    std::u32string units = mark ? U"\uFEFF" : U"";
    for (char32_t c : std::u32string_view(U"{\"k\":\"\u00e9\u20ac\U0001F600\"}"))
        if (unit == 2 && c > 0xFFFF)
            units += {char32_t(0xD800 + ((c - 0x10000) >> 10)), char32_t(0xDC00 + (c & 0x3FF))};
        else units += c;
    std::string out;
    for (char32_t u : units)
        for (int i = 0; i < unit; ++i) out += static_cast<char>((u >> 8 * (big ? unit - 1 - i : i)) & 0xFF);
    return out;
}

struct Text {
    const char* name;
    std::string text;
    std::string read;  // written back compactly; empty: not JSON
};
class JSONReading : public ::testing::TestWithParam<Text> {};

TEST_P(JSONReading, AcceptsExactlyOneObjectOrArrayInAnyEncoding) {
    auto v = JSONSerialization::JSONObjectWithData(GetParam().text).value;
    EXPECT_EQ(v ? JSONSerialization::dataWithJSONObject(*v, false) : "", GetParam().read);
}

const std::string kK = "{\"k\":\"\u00e9\u20ac\U0001F600\"}";
const std::string kKey32(32, 'k');  // the reader keeps keys up to 32 bytes apart from longer ones
// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, JSONReading, ::testing::Values(
    Text{"Object", R"({"a":1})", R"({"a":1})"}, Text{"SpacedArray", " \t\r\n[1]\n ", "[1]"},
    Text{"EmptyArray", "[]", "[]"}, Text{"EmptyObject", "{}", "{}"}, Text{"TopLevelNull", "null", ""},
    Text{"TwoValues", "[1] [2]", ""}, Text{"NaN", "[NaN]", ""}, Text{"XML", "<r/>", ""},
    Text{"RawNulInString", "[\"a\0b\"]"s, ""}, Text{"TrailingComma", "[1,]", ""},
    Text{"InvalidUTF8InString", "[\"\xc3\x28\"]", ""},
    Text{"EncodedSurrogate", "[\"\xed\xa0\x80\"]", ""}, Text{"OutOfDoubleRange", "[1e400]", "[1e400]"},
    Text{"LoneLowSurrogateEscape", R"({"a":"\udc00"})", ""}, Text{"LoneHighSurrogateEscape", R"(["a\ud800"])", ""},
    Text{"LoneSurrogateKey", R"({"\udfff":1})", ""}, Text{"HighThenLetter", R"(["\ud800\u0041"])", ""},
    Text{"SurrogatePairEscape", R"(["\ud83d\ude00"])", "[\"\U0001F600\"]"},
    Text{"Escapes", R"(["a\u0000b\n\u00e9\/"])", "[\"a\\u0000b\\n\u00e9/\"]"},
    Text{"KeysAroundTheShortKeyRoom", "{\"" + kKey32 + "\":1,\"" + kKey32 + "b\":2,\"c\":3,\"" + kKey32 + "b\":4}",
         "{\"" + kKey32 + "\":1,\"" + kKey32 + "b\":4,\"c\":3}"},
    Text{"MinusZeroStaysAnInteger", "[-0]", "[0]"},
    Text{"FuzzerDocumentWithTrailingBytes", "[9223372036854775e308,0e-320]33`8\"e\x93rors\"26", ""},
    Text{"Utf8Mark", "\xEF\xBB\xBF" + kK, kK}, Text{"Utf16LE", encoded(2, false, false), kK},
    Text{"Utf16BE", encoded(2, true, false), kK}, Text{"Utf16LEMark", encoded(2, false, true), kK},
    Text{"Utf16BEMark", encoded(2, true, true), kK}, Text{"Utf32LE", encoded(4, false, false), kK},
    Text{"Utf32BE", encoded(4, true, false), kK}, Text{"Utf32BEMark", encoded(4, true, true), kK},
    Text{"Utf16LoneSurrogate", encoded(2, false, false).replace(18, 2, "A\0", 2), ""},  // the pair loses its low half
    Text{"Utf16OffByOneByte", encoded(2, false, false).substr(1), ""},
    Text{"DeepestAllowed", deepArrays(JSONSerialization::kMaxDepth), deepArrays(JSONSerialization::kMaxDepth)},
    Text{"FarTooDeep", deepArrays(kDeep), ""}, Text{"FarTooDeepOpen", std::string(kDeep, '['), ""},
    Text{"DeepOpenObjects", [] { std::string s; while (s.size() < 1'000'000) s += "{\"a\":"; return s; }(), ""}),
    RowName());
// clang-format on

struct Number {
    const char* name;
    const char* text;
    Value::Kind kind;
    const char* shown = nullptr;  // by numberText and description; null: the text
    bool asRead = true;           // JSON writing gives the text as read
};
class JSONNumbers : public ::testing::TestWithParam<Number> {};

// Integers that fit stay integers (never wrapped), others the nearest double,
// which keeps the digits it cannot hold.
TEST_P(JSONNumbers, KeepTheirKindTheNearestValueAndEveryDigit) {
    const std::string text = GetParam().text;
    auto json = JSONSerialization::JSONObjectWithData("[" + text + "]").value;
    ASSERT_TRUE(json);
    const Value n = json->asArray()[0];
    ASSERT_EQ(n.kind(), GetParam().kind);
    const double nearest = std::strtod(text.c_str(), nullptr);
    if (std::abs(nearest) >= 9223372036854775808.0) {  // saturates, never undefined
        EXPECT_EQ(n.asInteger(), nearest > 0 ? INT64_MAX : INT64_MIN);
    }
    const std::string shown = GetParam().shown ? GetParam().shown : text;
    EXPECT_EQ(std::tuple(n.asDouble(), std::signbit(n.asDouble()), n.numberText(), n.description()),
        std::tuple(nearest, text[0] == '-', shown, shown));
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(*json, false) == "[" + text + "]", GetParam().asRead);
}

constexpr auto I = Value::Kind::Integer, D = Value::Kind::Double;
const std::string kNines(400, '9');  // beyond the double range, as an integer
// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, JSONNumbers, ::testing::Values(
    Number{"Int64Max", "9223372036854775807", I}, Number{"Int64Min", "-9223372036854775808", I},
    Number{"AboveInt64", "9223372036854775808", D}, Number{"BeyondDouble", "1e309", D},
    Number{"IntegerBeyondDouble", kNines.c_str(), D}, Number{"BelowInt64", "-9223372036854775809", D},
    Number{"LongFraction", "3.14159265358979323846264338", D}, Number{"BelowTheSmallestDouble", "1e-400", D},
    Number{"ZeroWithExponent", "0e-320", D, "0", false}, Number{"Subnormal", "1e-320", D},
    Number{"SmallestSubnormal", "4.9e-324", D, "5e-324", false},
    Number{"Largest", "1.7976931348623157e308", D, "1.7976931348623157e+308"},
    Number{"RoundsToInfinity", "1.7976931348623159e308", D}, Number{"FarBelowMinusDouble", "-1e400", D},
    Number{"HugeMantissaAndExponent", "9223372036854775e308", D},
    Number{"ExponentAtInt64Min", "-922.3727203681e-9223372036854775808", D},
    Number{"LongMantissaExponentAtInt64Min", "92233337203681234567e-9223372036854775808", D},
    Number{"NegativeZero", "-0.0", D, "-0"}, Number{"Fraction", "1.5", D},
    Number{"SeventeenDigits", "0.10000000000000001", D}, Number{"Exponent", "1e3", D, "1000", false},
    Number{"ExactPowerOfTen", "100000000000000000000", D}),
    RowName());
// clang-format on

// Deep trees are written without recursion.
TEST(JSONWriting, CompactAndPrettyBytesRoundTripAtAnyDepthAndWhatJSONCannotHoldIsRefused) {
    Dictionary d{{"b", Array{1, 2.5, "x\"\\/\n\x01", nullptr, true}}, {"a", Dictionary{}}, {"e", Array{}}};
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value(d), false),
        R"({"b":[1,2.5,"x\"\\/\n\u0001",null,true],"a":{},"e":[]})");
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value(d), true),
        "{\n  \"b\": [\n    1,\n    2.5,\n    \"x\\\"\\\\/\\n\\u0001\",\n    null,\n    true\n  ],\n"
        "  \"a\": {},\n  \"e\": []\n}");
    // What JSON cannot hold is refused.
    for (const Value& v :
        {Value(Array{std::numeric_limits<double>::infinity()}), Value(Dictionary{{"x", std::nan("")}}),
            Value(Array{"\xff"}), Value(Dictionary{{"\xc3", 1}}), Value("top-level string"), Value(1), Value()})
        for (bool pretty : {false, true})
            EXPECT_THROW(JSONSerialization::dataWithJSONObject(v, pretty), JSONSerializationError) << v.description();
    Array top, cur = top;
    for (std::size_t i = 0; i < kDeep; ++i, cur = cur[0].asArray()) cur.push_back(Value(Array()));
    EXPECT_EQ(JSONSerialization::dataWithJSONObject(Value(top), false), deepArrays(kDeep + 1));
}

}  // namespace
