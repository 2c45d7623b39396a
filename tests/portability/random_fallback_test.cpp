// arc4random_uniform built without the C library's own: the OpenSSL-based
// fallback must stay in range, reach every value and not favour any.
#include <Orvalis/Foundation/System/Random.h>
#include <Orvalis/Foundation/System/TestSeams.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>

#if defined(ORVALIS_HAVE_ARC4RANDOM_UNIFORM)
#error "this test must build the fallback"
#endif

namespace {
std::uint32_t draw(std::uint32_t bound) { return orvalis::arc4random_uniform(bound); }
}  // namespace

TEST(RandomFallback, SmallBoundsAreReachedEvenlyAndNeverExceeded) {
    EXPECT_EQ(draw(0) + draw(1), 0u);  // degenerate bounds give zero
    std::array<int, 3> counts{};
    for (int i = 0; i < 3000; ++i) {
        const std::uint32_t r = draw(3);
        ASSERT_LT(r, 3u);
        ++counts[r];
    }
    // Expected 1000 each, standard deviation about 26: 200 away is > 7 sigma.
    for (int c : counts) EXPECT_TRUE(c > 800 && c < 1200) << c;
}

TEST(RandomFallback, LargeBoundsStayBelowTheBound) {
    // 2^31 + 1 rejects almost half of all raw draws: the worst case for the loop.
    for (std::uint32_t bound : {900000000u, 0x80000001u, 0xFFFFFFFFu}) {
        std::set<std::uint32_t> seen;
        for (int i = 0; i < 2000; ++i) {
            const std::uint32_t r = draw(bound);
            ASSERT_LT(r, bound);
            seen.insert(r);
        }
        EXPECT_GT(seen.size(), 1990u) << bound;
        EXPECT_GE(*seen.rbegin(), bound / 2) << bound;
    }
}

TEST(RandomFallback, TestSourceStillTakesOver) {
    orvalis::setRandomSourceForTesting([](std::uint32_t) { return 41u; });
    EXPECT_EQ(draw(900000000u), 41u);
    EXPECT_EQ(draw(7u), 41u % 7u);
    orvalis::setRandomSourceForTesting(nullptr);
    EXPECT_LT(draw(7u), 7u);
}
