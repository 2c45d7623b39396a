// arc4random_uniform from its per-thread buffer of OpenSSL's bytes: in range,
// every value reached, none favoured, and a forked child never repeats its parent.
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

// The child inherits the parent's buffered bytes: it must draw afresh, or parent and child send the same nonces.
TEST(RandomFallback, ForkedChildDoesNotRepeatItsParent) {
    // Two forks one draw apart: at one of them at least, values are left in the buffer.
    for (int round = 0; round < 2; ++round) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        std::uint32_t mine = draw(0xFFFFFFFFu), theirs = 0;
        if (child == 0) _exit(write(fds[1], &mine, sizeof mine) == sizeof mine ? 0 : 1);
        ASSERT_EQ(read(fds[0], &theirs, sizeof theirs), static_cast<ssize_t>(sizeof theirs));
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(fds[0]);
        close(fds[1]);
        EXPECT_NE(mine, theirs) << "round " << round;
    }
}
