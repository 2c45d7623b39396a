#include <Orvalis/Foundation/detail/SecureMemory.h>
#include <gtest/gtest.h>

#include <array>
#include <cstddef>

namespace {

using orvalis::detail::secureWipe;

TEST(SecureWipe, ZeroesExactlyTheGivenRange) {
    struct Case {
        std::size_t offset;
        std::size_t size;
    };
    for (const Case& c : {Case{0, 64}, Case{8, 32}, Case{63, 1}, Case{0, 1}, Case{17, 0}}) {
        std::array<unsigned char, 64> buffer;
        buffer.fill(0xA5);
        secureWipe(buffer.data() + c.offset, c.size);
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            const bool inside = i >= c.offset && i < c.offset + c.size;
            EXPECT_EQ(buffer[i], inside ? 0x00 : 0xA5)
                << "byte " << i << " after wiping " << c.size << " bytes at " << c.offset;
        }
    }
}

}  // namespace
