#include <Orvalis/Foundation/Value.h>
#include <gtest/gtest.h>

#include <string>

using namespace orvalis;

TEST(TextBuffer, TakesRangesOfEverySizeIntact) {
    // Short runs are copied, long ones hand over the buffer; both must give
    // exactly the requested bytes and leave the buffer reusable.
    TextBuffer buf;
    for (std::size_t n : {0u, 1u, 14u, 15u, 1023u, 1024u, 5000u, 100000u}) {
        std::string text;
        for (std::size_t i = 0; i < n; ++i) text += static_cast<char>('a' + i % 26);
        std::string padded = "  " + text + "\n";
        for (std::size_t off = 0; off < padded.size(); off += 777)
            buf.append(std::string_view(padded).substr(off, 777));
        ASSERT_EQ(buf.view(), padded);
        Value v = buf.take(2, 2 + n);
        EXPECT_EQ(buf.size(), 0u);
        ASSERT_TRUE(v.isString());
        EXPECT_EQ(v.asString(), text) << n;
        Value copy = v;  // shares the adopted block
        v = Value();
        EXPECT_EQ(copy.asString(), text) << n;
        buf.append("next");
        EXPECT_EQ(buf.view(), "next");
        buf.clear();
    }
    buf.append("x");
    EXPECT_EQ(buf.take(5, 9), Value(""));  // out-of-range bounds are clamped
}
