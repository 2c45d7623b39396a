#include <Orvalis/Utils/Common.h>
#include <gtest/gtest.h>

#include <climits>

using namespace orvalis;

TEST(Common, SubstringsCountCodePointsAndClamp) {
    const std::string e = "\xC3\xA9";                       // é: two bytes, one character
    const std::string euro = "\xE2\x82\xAC";                // €: three bytes
    const std::string emoji = "\xF0\x9F\x98\x80";           // four bytes
    const std::string text = "a" + e + euro + emoji + "z";  // five characters

    struct Case {
        const char* what;
        std::string got, want;
    };
    const Case cases[] = {
        {"offsetBy 1 on a=b&", substringOffsetBy("a=b&", 1), "a=b"},
        {"offsetBy 1", substringOffsetBy(text, 1), "a" + e + euro + emoji},
        {"offsetBy 2 keeps whole characters", substringOffsetBy(text, 2), "a" + e + euro},
        {"offsetBy 0", substringOffsetBy(text, 0), text},
        {"offsetBy length", substringOffsetBy(text, 5), ""},
        {"offsetBy past length", substringOffsetBy(text, 6), ""},
        {"offsetBy INT_MAX", substringOffsetBy(text, INT32_MAX), ""},
        {"offsetBy negative", substringOffsetBy(text, -3), text},
        {"offsetBy on empty", substringOffsetBy("", 1), ""},
        {"to 2", substringTo(text, 2), "a" + e},
        {"to 0", substringTo(text, 0), ""},
        {"to past length", substringTo(text, 99), text},
        {"to negative", substringTo(text, INT32_MIN), ""},
        {"from 3", substringFrom(text, 3), emoji + "z"},
        {"from 0", substringFrom(text, 0), text},
        {"from length", substringFrom(text, 5), ""},
        {"from past length", substringFrom(text, 50), ""},
        {"from negative", substringFrom(text, -1), text},
        {"from 1 take 2", substringFrom(text, 1, 2), e + euro},
        {"from 4 take 9", substringFrom(text, 4, 9), "z"},
        {"from 2 take 0", substringFrom(text, 2, 0), ""},
        {"from 9 take 2", substringFrom(text, 9, 2), ""},
        {"from 1 take negative", substringFrom(text, 1, -2), ""},
        // A stray continuation byte or a cut sequence counts as one character.
        {"bad UTF-8", substringOffsetBy(std::string("ab\x80\xE2\x82"), 1), "ab\x80"},
        {"bad UTF-8 from", substringFrom(std::string("\x80z"), 1), "z"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
}
