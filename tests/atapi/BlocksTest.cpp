// The pass-through block as the driver reads it, byte for byte.
#include <gtest/gtest.h>

#include <cstring>

#include "ScsiBlocks.h"

namespace {

uint32_t At32(const uint8_t* b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b + at, 4);
    return v;
}

const uint8_t kCdb[12] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, 0x12, 0x34, 0x56, 0x78, 0x9A, 0x08};

TEST(PassThroughBlock, ThirtyTwoBitLayoutAsTheDriverReadsIt) {
    uint8_t block[96];
    std::memset(block, 0xEE, sizeof block);
    FillPassThrough(block, kPassThrough32, kCdb, 0x11223344, 16384, kScsiIoctlDataOut);
    const uint8_t expected[80] = {
        44, 0, 0, 0, 0, 0, 12, 24, 0, 0, 0, 0,              // Length .. reserved
        0x00, 0x40, 0, 0,                                    // DataTransferLength 16384
        60, 0, 0, 0,                                         // TimeOutValue
        0x44, 0x33, 0x22, 0x11,                              // DataBuffer
        48, 0, 0, 0,                                         // SenseInfoOffset
        0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, 0x12, 0x34, 0x56, 0x78, 0x9A, 0x08, 0, 0, 0, 0,  // Cdb
    };  // filler and sense buffer: zero
    EXPECT_EQ(0, std::memcmp(block, expected, 80));
    EXPECT_EQ(block[80], 0xEE);  // nothing written past the 80 bytes
    EXPECT_EQ(kPassThrough32.blockSize, 80u);
}

TEST(PassThroughBlock, SixtyFourBitLayoutMovesEverythingAfterTheAddress) {
    uint8_t block[96];
    std::memset(block, 0xEE, sizeof block);
    FillPassThrough(block, kPassThrough64, kCdb, 0x1122334455667788ull, 50, kScsiIoctlDataIn);
    EXPECT_EQ(block[0], 56);
    EXPECT_EQ(block[8], 1);
    EXPECT_EQ(At32(block, 12), 50u);
    EXPECT_EQ(At32(block, 16), 60u);
    EXPECT_EQ(At32(block, 20), 0u);  // alignment gap before the address
    uint64_t address;
    std::memcpy(&address, block + 24, 8);
    EXPECT_EQ(address, 0x1122334455667788ull);
    EXPECT_EQ(At32(block, 32), 60u);  // sense follows the 56-byte header and the filler
    EXPECT_EQ(0, std::memcmp(block + 36, kCdb, 12));
    for (int i = 48; i < 96; ++i) EXPECT_EQ(block[i], 0) << i;
}

TEST(PassThroughBlock, RefillClearsTheLastCommand) {
    uint8_t block[96];
    FillPassThrough(block, kPassThrough32, kCdb, 1, 16384, 0);
    block[2] = 2;  // status and sense left by the driver
    block[48] = 0x70;
    const uint8_t inquiry[12] = {0x12, 0, 0, 0, 0x32};
    FillPassThrough(block, kPassThrough32, inquiry, 2, 50, kScsiIoctlDataIn);
    EXPECT_EQ(block[2], 0);
    EXPECT_EQ(block[48], 0);
    EXPECT_EQ(0, std::memcmp(block + 28, inquiry, 12));
}

}  // namespace
