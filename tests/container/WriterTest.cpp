#include <gtest/gtest.h>

#include <random>

#include "Firmware.h"
#include "HandMade.h"
#include "Kfs.h"
#include "KfsWriter.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Random image whose banks end in zeros of random length, as real banks do.
Bytes RandomImage(std::mt19937& rng, uint32_t banks, uint32_t slot, bool selfKeyed) {
    Bytes image(size_t{banks} * slot, 0);
    for (uint32_t b = 0; b < banks; ++b) {
        uint32_t used = rng() % (slot + 1);
        if (slot == 0x10000 && used == slot) used = slot - 1;  // the old layout keeps each slot's last byte 0
        for (uint32_t i = 0; i < used; ++i) image[size_t{b} * slot + i] = static_cast<uint8_t>(rng());
        if (selfKeyed && used > 0) image[size_t{b} * slot] = 2;
    }
    return image;
}

void ExpectRoundTrip(const Bytes& image, const KfsPackOptions& o) {
    const KfsPackResult packed = PackContainer(image.data(), static_cast<uint32_t>(image.size()), o);
    ASSERT_TRUE(packed.ok) << packed.error;
    uint32_t length = 0;
    SKFSParameter p;
    auto loaded = LoadContainer(packed.bytes.data(), packed.bytes.size(), length, p);
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(length, image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), loaded.get()));
    EXPECT_EQ(p.checksum, GetCheckSum(image.data(), length));
    EXPECT_EQ(p.bankSize, o.layout == KfsLayout::Old ? 0x10000u : o.bankSize);
    EXPECT_EQ(packed.bytes[24], static_cast<uint8_t>(o.layout == KfsLayout::Old ? o.version : '3'));
    if (o.layout == KfsLayout::V3) {
        EXPECT_EQ(p.option1, o.option1);
        EXPECT_EQ(p.option3, o.option3);
        EXPECT_EQ(p.value1, o.value1);
        ASSERT_EQ(p.reserveBlocks.size(), o.reserveBlocks.size());
        for (size_t i = 0; i < p.reserveBlocks.size(); ++i)
            EXPECT_EQ(p.reserveBlocks[i].offset, o.reserveBlocks[i].offset);
    }
}

TEST(WriterRoundTrip, RandomImagesInEveryLayoutAndMode) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 40; ++round) {
        KfsPackOptions o;
        const bool old = round % 2 == 0;
        o.scramble = (round / 2) % 2 == 0;
        if (old) {
            o.layout = KfsLayout::Old;
            o.version = " 12"[round % 3];
            o.selfKey = static_cast<uint8_t>(rng());
            ExpectRoundTrip(RandomImage(rng, rng() % 12, 0x10000, o.scramble), o);
        } else {
            o.layout = KfsLayout::V3;
            o.bankSize = 1 + rng() % 5000;
            for (auto& k : o.key) k = static_cast<uint8_t>(rng());
            o.option1 = static_cast<uint8_t>(rng());
            o.option3 = static_cast<uint8_t>(rng());
            o.value1 = static_cast<int32_t>(rng());
            o.reserveBlocks.resize(rng() % 4);
            for (auto& r : o.reserveBlocks) r = {static_cast<uint32_t>(rng()), static_cast<uint32_t>(rng())};
            ExpectRoundTrip(RandomImage(rng, rng() % 20, o.bankSize, false), o);
        }
    }
}

TEST(WriterOutput, IsWhatAHandMadeContainerHolds) {
    // A self-keyed old bank: stored first byte is key - 2, the rest the transform.
    Bytes image(0x10000, 0);
    image[0] = 2;
    image[1] = 0x33;
    image[9] = 0x44;
    KfsPackOptions o;
    o.layout = KfsLayout::Old;
    o.version = '1';
    o.scramble = true;
    o.selfKey = 0x70;
    KfsPackResult packed = PackContainer(image.data(), 0x10000, o);
    ASSERT_TRUE(packed.ok);
    const Bytes plain(image.begin(), image.begin() + 10);
    EXPECT_EQ(packed.bytes, handmade::Old('1', 1, GetCheckSum(image.data(), 0x10000),
                                          {handmade::Scramble(plain, 0x70)}));

    KfsPackOptions v3;
    v3.scramble = true;
    v3.bankSize = 0x8000;
    v3.option1 = 7, v3.option2 = 8, v3.option3 = 9;
    v3.key = {3, 200, 17, 99};
    v3.value1 = 0x11223344, v3.value2 = -2;
    v3.reserveBlocks = {{0x100, 0x20}};
    Bytes image2(0x10000, 0);
    image2[5] = 1;
    image2[0x8000] = 9;
    packed = PackContainer(image2.data(), 0x10000, v3);
    ASSERT_TRUE(packed.ok);
    handmade::V3Fields f;
    f.bankSize = 0x8000;
    f.reserve = {{0x100, 0x20}};
    const uint8_t key = handmade::Key(f.key);
    EXPECT_EQ(packed.bytes, handmade::V3(2, GetCheckSum(image2.data(), 0x10000), f,
                                         {handmade::Scramble(Bytes(image2.begin(), image2.begin() + 6), key),
                                          handmade::Scramble(Bytes{9}, key)}));
}

// What a command line cannot ask for; the rest is refused through kfstool's own table.
TEST(WriterRefusals, SayWhyAnImageCannotBeStored) {
    KfsPackOptions old, v3;
    old.layout = KfsLayout::Old;
    old.version = '3';
    const Bytes image(0x10000, 0);
    EXPECT_EQ(PackContainer(image.data(), 0x10000, old).error, "the old layout has versions \" \", \"1\" and \"2\"");
    // A length past the largest image is refused from the header alone, before any bank is read.
    EXPECT_EQ(PackContainer(image.data(), 65u << 20, v3).error.rfind("its image would be larger than 64 MiB", 0), 0u);
    EXPECT_EQ(PackContainer(image.data(), 65u << 20, v3).error.find(": with"), std::string::npos);
    v3.bankSize = 0;
    EXPECT_EQ(PackContainer(image.data(), 0, v3).error, "the bank size must not be 0");
}

}  // namespace
