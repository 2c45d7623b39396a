#include <Orvalis/Foundation/Crypto/detail/SecureMemory.h>
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <utility>

TEST(SecureWipe, ZeroesExactlyTheGivenRange) {
    for (const auto& [offset, size] : {std::pair<std::size_t, std::size_t>{0, 64}, {8, 32}, {63, 1}, {0, 1}, {17, 0}}) {
        std::array<unsigned char, 64> buffer;
        buffer.fill(0xA5);
        orvalis::detail::secureWipe(buffer.data() + offset, size);
        for (std::size_t i = 0; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], i >= offset && i < offset + size ? 0x00 : 0xA5)
                << "byte " << i << " after wiping " << size << " at " << offset;
    }
}
