#include <Orvalis/Utils/Common.h>
#include <gtest/gtest.h>

#include <climits>
#include <functional>

using namespace orvalis;

namespace {

// Five characters of one to four bytes: "a", "é", "€", U+1F600, "z".
const std::string e = "\xC3\xA9", euro = "\xE2\x82\xAC", emoji = "\xF0\x9F\x98\x80",
                  text = "a" + e + euro + emoji + "z";

struct Cut {
    const char* name;
    std::function<std::string()> got;
    std::string want;
};
class Substrings : public ::testing::TestWithParam<Cut> {};

TEST_P(Substrings, CountCodePointsAndClamp) { EXPECT_EQ(GetParam().got(), GetParam().want); }

INSTANTIATE_TEST_SUITE_P(
    Common, Substrings,
    ::testing::Values(Cut{"OffsetByOneAscii", [] { return substringOffsetBy("a=b&", 1); }, "a=b"},
                      Cut{"OffsetByOne", [] { return substringOffsetBy(text, 1); }, "a" + e + euro + emoji},
                      Cut{"OffsetByTwoKeepsWholeCharacters", [] { return substringOffsetBy(text, 2); }, "a" + e + euro},
                      Cut{"OffsetByZero", [] { return substringOffsetBy(text, 0); }, text},
                      Cut{"OffsetByLength", [] { return substringOffsetBy(text, 5); }, ""},
                      Cut{"OffsetByPastLength", [] { return substringOffsetBy(text, 6); }, ""},
                      Cut{"OffsetByIntMax", [] { return substringOffsetBy(text, INT32_MAX); }, ""},
                      Cut{"OffsetByNegative", [] { return substringOffsetBy(text, -3); }, text},
                      Cut{"OffsetByOnEmpty", [] { return substringOffsetBy("", 1); }, ""},
                      Cut{"ToTwo", [] { return substringTo(text, 2); }, "a" + e},
                      Cut{"ToZero", [] { return substringTo(text, 0); }, ""},
                      Cut{"ToPastLength", [] { return substringTo(text, 99); }, text},
                      Cut{"ToNegative", [] { return substringTo(text, INT32_MIN); }, ""},
                      Cut{"FromThree", [] { return substringFrom(text, 3); }, emoji + "z"},
                      Cut{"FromZero", [] { return substringFrom(text, 0); }, text},
                      Cut{"FromLength", [] { return substringFrom(text, 5); }, ""},
                      Cut{"FromPastLength", [] { return substringFrom(text, 50); }, ""},
                      Cut{"FromNegative", [] { return substringFrom(text, -1); }, text},
                      Cut{"FromOneTakeTwo", [] { return substringFrom(text, 1, 2); }, e + euro},
                      Cut{"FromFourTakeNine", [] { return substringFrom(text, 4, 9); }, "z"},
                      Cut{"FromTwoTakeZero", [] { return substringFrom(text, 2, 0); }, ""},
                      Cut{"FromNineTakeTwo", [] { return substringFrom(text, 9, 2); }, ""},
                      Cut{"FromOneTakeNegative", [] { return substringFrom(text, 1, -2); }, ""},
                      // A stray continuation byte or a cut sequence counts as one character.
                      Cut{"BadUTF8", [] { return substringOffsetBy("ab\x80\xE2\x82", 1); }, "ab\x80"},
                      Cut{"BadUTF8From", [] { return substringFrom("\x80z", 1); }, "z"}),
    orvalis::testsupport::RowName());

}  // namespace
