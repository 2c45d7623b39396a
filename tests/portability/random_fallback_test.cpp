// arc4random_uniform from its per-thread buffer of OpenSSL's bytes: in range,
// every value reached, none favoured, and forked children never repeat their parent or each other.
#include <Orvalis/Foundation/System/Random.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <set>

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

// The children inherit the parent's buffered bytes: each must draw afresh, or two of them (or one and its parent)
// send the same nonces.
TEST(RandomFallback, ForkedChildrenRepeatNeitherTheirParentNorEachOther) {
    // Two rounds one draw apart: at one of them at least, values are left in the buffer.
    for (int round = 0; round < 2; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t children[2];
        for (pid_t& child : children) {  // two in a row, the parent drawing nothing between them
            child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                const std::uint32_t theirs = draw(0xFFFFFFFFu);
                _exit(write(fds[1], &theirs, sizeof theirs) == sizeof theirs ? 0 : 1);
            }
        }
        std::set<std::uint32_t> drawn{draw(0xFFFFFFFFu)};
        for (pid_t child : children) {
            std::uint32_t theirs = 0;
            ASSERT_EQ(read(fds[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
            drawn.insert(theirs);
            waitpid(child, nullptr, 0);
        }
        close(fds[0]);
        close(fds[1]);
        EXPECT_EQ(drawn.size(), 3u) << "round " << round;
    }
}
