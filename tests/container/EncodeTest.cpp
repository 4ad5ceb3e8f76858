#include <gtest/gtest.h>

#include <random>

#include "Encode.h"
#include "HandMade.h"
#include "Kfs.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

TEST(Descramble, MatchesTheTransformByPosition) {
    // The descrambler works a whole key period (64 groups) at a time: every
    // length up to two periods and a group, so that every remainder is met
    // after zero, one and two whole periods, with random bytes and keys.
    std::mt19937 rng(15);
    for (size_t n = 0; n <= 2 * 512 + 8; ++n) {
        const uint8_t key = static_cast<uint8_t>(rng());
        const auto plain = RandomBytes(n, static_cast<uint32_t>(rng()));
        const auto expected = handmade::Scramble(plain, key);
        auto bytes = plain;
        Descramble(bytes.data(), static_cast<uint32_t>(n), key);
        ASSERT_EQ(bytes, expected) << "n=" << n << " key=" << int(key);
        std::vector<uint8_t> copied(n + 1, 0xEE);  // one byte more, which must stay
        DescrambleCopy(copied.data(), plain.data(), static_cast<uint32_t>(n), key);
        ASSERT_EQ(copied.back(), 0xEE) << "n=" << n;
        copied.pop_back();
        ASSERT_EQ(copied, expected) << "copying, n=" << n << " key=" << int(key);
    }
}

TEST(Descramble, NinthAndSeventeenthBytesUseTheUpdatedKey) {
    std::vector<uint8_t> zeros(17, 0);
    const uint8_t key = 3;
    Descramble(zeros.data(), 17, key);
    EXPECT_EQ(zeros[0], 3);
    EXPECT_EQ(zeros[1], 3 + 57);
    EXPECT_EQ(zeros[7], static_cast<uint8_t>(3 + 143));
    EXPECT_EQ(zeros[8], static_cast<uint8_t>(3 * 35));
    EXPECT_EQ(zeros[16], static_cast<uint8_t>(3 * 35 * 35));
}

TEST(Descramble, IsItsOwnInverseAndZeroCountChangesNothing) {
    const auto plain = RandomBytes(4099, 7);
    auto bytes = plain;
    Descramble(bytes.data(), 4099, 0xC4);
    EXPECT_NE(bytes, plain);
    Descramble(bytes.data(), 4099, 0xC4);
    EXPECT_EQ(bytes, plain);

    uint8_t one[1] = {0x42};
    Descramble(one, 0, 0x99);
    DescrambleSelfKeyed(one, 0);
    EXPECT_EQ(one[0], 0x42);
}

TEST(Descramble, SelfKeyedBankAlwaysStartsWithTwo) {
    for (int first = 0; first < 256; ++first) {
        auto bytes = RandomBytes(20, first);
        bytes[0] = static_cast<uint8_t>(first);
        const auto stored = bytes;
        DescrambleSelfKeyed(bytes.data(), 20);
        EXPECT_EQ(bytes[0], 2);
        // Key is the stored first byte plus 2.
        auto expected = stored;
        Descramble(expected.data(), 20, static_cast<uint8_t>(first + 2));
        EXPECT_EQ(bytes, expected);
    }
}

TEST(HeaderKey, WrapsDifferenceAndProductToEightBits) {
    uint8_t header[56] = {};
    const uint8_t cases[][4] = {{0, 0, 0, 0}, {1, 5, 3, 0}, {3, 1, 200, 7}, {255, 0, 255, 255}, {35, 17, 17, 9}};
    for (const auto& p : cases) {
        for (int i = 0; i < 4; ++i) header[28 + i] = p[i];
        EXPECT_EQ(HeaderKey(header), handmade::Key(p));
    }
    header[28] = 3, header[29] = 1, header[30] = 200, header[31] = 7;
    EXPECT_EQ(HeaderKey(header), static_cast<uint8_t>((1 - 200) * 3 + 7));  // 0x5E
}

}  // namespace
