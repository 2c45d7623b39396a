// arc4random_uniform from its per-thread buffer of OpenSSL's bytes: in range,
// every value reached, none favoured, and forked children never repeat their parent or each other.
#include <Orvalis/Foundation/System/Random.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <set>

const auto draw = &orvalis::arc4random_uniform;

// 2^31 + 1 rejects almost half of all raw draws: the worst case for the loop.
TEST(RandomFallback, DrawsStayBelowTheBoundAndSmallBoundsAreReachedEvenly) {
    EXPECT_EQ(draw(0) + draw(1), 0u);  // degenerate bounds give zero
    for (std::uint32_t bound : {3u, 900000000u, 0x80000001u, 0xFFFFFFFFu}) {
        std::map<std::uint32_t, int> seen;
        for (int i = 0; i < 3000; ++i) {
            const std::uint32_t r = draw(bound);
            ASSERT_LT(r, bound);
            ++seen[r];
        }
        // Of 3, each value 1000 times expected, standard deviation about 26: 200 away is > 7 sigma.
        for (auto [r, count] : seen) EXPECT_TRUE(bound != 3 || (count > 800 && count < 1200)) << r << ": " << count;
        EXPECT_GT(seen.size(), bound == 3 ? 2u : 2985u) << bound;  // large bounds hardly ever repeat
        EXPECT_GE(seen.rbegin()->first, bound / 2) << bound;
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
