#include <Orvalis/Utils/Common.h>
#include <Printers.h>
#include <gtest/gtest.h>

#include <cstdint>

using namespace orvalis;

namespace {

// Five characters of one to four bytes: "a", "é", "€", U+1F600, "z".
const std::string e = "\xC3\xA9", euro = "\xE2\x82\xAC", emoji = "\xF0\x9F\x98\x80",
                  text = "a" + e + euro + emoji + "z";

struct Cut {
    const char* name;
    std::string got, want;
};
class Substrings : public ::testing::TestWithParam<Cut> {};

TEST_P(Substrings, CountCodePointsAndClamp) { EXPECT_EQ(GetParam().got, GetParam().want); }

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Common, Substrings,
    ::testing::Values(Cut{"OffsetByTwoKeepsWholeCharacters", substringOffsetBy(text, 2), "a" + e + euro},
                      // Counts past the end or below zero are clamped, whatever their size: a row of each suffices
                      // (and a negative count stands for zero).
                      Cut{"OffsetByIntMax", substringOffsetBy(text, INT32_MAX), ""},
                      Cut{"OffsetByNegative", substringOffsetBy(text, -3), text},
                      Cut{"ToTwo", substringTo(text, 2), "a" + e}, Cut{"ToPastLength", substringTo(text, 99), text},
                      Cut{"ToNegative", substringTo(text, INT32_MIN), ""},
                      Cut{"FromThree", substringFrom(text, 3), emoji + "z"},
                      Cut{"FromPastLength", substringFrom(text, 50), ""},
                      Cut{"FromNegative", substringFrom(text, -1), text},
                      Cut{"FromOneTakeTwo", substringFrom(text, 1, 2), e + euro},
                      Cut{"FromFourTakeNine", substringFrom(text, 4, 9), "z"},
                      Cut{"FromOneTakeNegative", substringFrom(text, 1, -2), ""},
                      // A stray continuation byte or a cut sequence counts as one character.
                      Cut{"BadUTF8", substringOffsetBy("ab\x80\xE2\x82", 1), "ab\x80"}),
    orvalis::testsupport::RowName());
// clang-format on

}  // namespace
