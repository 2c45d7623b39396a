// arc4random_uniform built without the C library's own: the OpenSSL-based
// fallback must stay in range, reach every value and not favour any.
#include <Orvalis/Foundation/Random.h>
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

TEST(RandomFallback, DegenerateBoundsGiveZero) {
    EXPECT_EQ(draw(0), 0u);
    EXPECT_EQ(draw(1), 0u);
}

TEST(RandomFallback, SmallBoundIsReachedEvenlyAndNeverExceeded) {
    std::array<int, 3> counts{};
    for (int i = 0; i < 3000; ++i) {
        std::uint32_t r = draw(3);
        ASSERT_LT(r, 3u);
        ++counts[r];
    }
    // Expected 1000 each, standard deviation about 26: 200 away is > 7 sigma.
    for (int c : counts) {
        EXPECT_GT(c, 800);
        EXPECT_LT(c, 1200);
    }
}

TEST(RandomFallback, LargeBoundsStayBelowTheBound) {
    // 2^31 + 1 rejects almost half of all raw draws: the worst case for the loop.
    const std::uint32_t bounds[] = {900000000u, 0x80000001u, 0xFFFFFFFFu};
    for (std::uint32_t bound : bounds) {
        std::set<std::uint32_t> seen;
        bool upperHalf = false;
        for (int i = 0; i < 2000; ++i) {
            std::uint32_t r = draw(bound);
            ASSERT_LT(r, bound);
            seen.insert(r);
            upperHalf = upperHalf || r >= bound / 2;
        }
        EXPECT_GT(seen.size(), 1990u) << bound;
        EXPECT_TRUE(upperHalf) << bound;
    }
}

TEST(RandomFallback, TestSourceStillTakesOver) {
    orvalis::setRandomSourceForTesting([](std::uint32_t) { return 41u; });
    EXPECT_EQ(draw(900000000u), 41u);
    EXPECT_EQ(draw(7u), 41u % 7u);
    orvalis::setRandomSourceForTesting(nullptr);
    EXPECT_LT(draw(7u), 7u);
}
