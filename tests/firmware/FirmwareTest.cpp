#include <gtest/gtest.h>

#include <cstring>

#include "EmbeddedContainer.h"
#include "Firmware.h"
#include "Kfs.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Len(const Bytes& b) { return static_cast<uint32_t>(b.size()); }
std::string Text(const std::unique_ptr<char[]>& t, size_t n) { return t ? std::string(t.get(), n) : "<null>"; }

// Texts shorter than their fields are padded with '.'.
void PutInquiry(Bytes& image, size_t at, std::string name, std::string version, std::string tail = "ab") {
    name.resize(24, '.');
    version.resize(4, '.');
    tail.resize(2, '.');
    image[at] = 0x05, image[at + 1] = 0x80, image[at + 2] = 0x00;
    std::memcpy(&image[at + 8], name.data(), 24);
    std::memcpy(&image[at + 32], version.data(), 4);
    std::memcpy(&image[at + 38], tail.data(), 2);
}

void PutIdentity(Bytes& image, size_t at, const char* id2) {
    std::memcpy(&image[at], "KOLA", 4);
    image[at + 16] = 'H', image[at + 17] = 'W';
    std::memcpy(&image[at + 18], id2, 2);
}

TEST(CheckSum, WrapsAtSixteenBitsAndTakesBytesUnsigned) {
    EXPECT_EQ(GetCheckSum(nullptr, 0), 0);
    EXPECT_EQ(GetCheckSum(Bytes(257, 0xFF).data(), 257), 0xFFFF);
    EXPECT_EQ(GetCheckSum(Bytes(258, 0xFF).data(), 258), 0x00FE);
    EXPECT_EQ(GetCheckSum(Bytes(1, 0x80).data(), 1), 0x0080);
}

TEST(CheckSum, EqualsTheBytewiseSumForAnyLengthAndContent) {
    Bytes image(70001);
    uint32_t state = 1;
    for (auto& b : image) b = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 16);
    // Every length up to two blocks of the word-wise sum and a word, so that
    // every remainder is met after zero, one and two whole blocks; then all.
    unsigned sum = 0;
    for (uint32_t length = 0; length <= 2 * 2048 + 8; sum += image[length++])
        ASSERT_EQ(GetCheckSum(image.data(), length), static_cast<uint16_t>(sum)) << length;
    for (uint32_t i = 2 * 2048 + 9; i < image.size(); ++i) sum += image[i];
    EXPECT_EQ(GetCheckSum(image.data(), Len(image)), static_cast<uint16_t>(sum));
    Bytes ff(1 << 20, 0xFF);  // every lane at its largest
    EXPECT_EQ(GetCheckSum(ff.data(), 1 << 20), static_cast<uint16_t>((1u << 20) * 255u));
}

TEST(Identity, EmptyImageHasNoFields) {
    EXPECT_EQ(GetHardwareID(nullptr, 0), nullptr);
    EXPECT_EQ(GetDriveName(nullptr, 0), nullptr);
    EXPECT_EQ(GetVersion(nullptr, 0), nullptr);
    EXPECT_TRUE(FindInquiryBlocks(nullptr, 0).empty());
    EXPECT_TRUE(FindIdentityBlocks(nullptr, 0).empty());
}

TEST(Identity, DriveNameAndVersionNeedExactlyOneInquiryBlock) {
    Bytes image(400, 0x11);
    EXPECT_EQ(GetDriveName(image.data(), Len(image)), nullptr);
    PutIdentity(image, 300, "ZZ");  // never supplies the name or version
    EXPECT_EQ(GetDriveName(image.data(), Len(image)), nullptr);

    const std::string name("VEND  \0 PRODUCT  X     ", 24);  // keeps spaces and a zero byte
    PutInquiry(image, 40, name, "1.0 ");
    auto driveName = GetDriveName(image.data(), Len(image));
    ASSERT_NE(driveName, nullptr);
    EXPECT_EQ(std::string(driveName.get(), 24), name);
    EXPECT_EQ(driveName[24], '\0');
    EXPECT_EQ(Text(GetVersion(image.data(), Len(image)), 5), std::string("1.0 \0", 5));

    PutInquiry(image, 200, name, "1.0 ");
    EXPECT_EQ(FindInquiryBlocks(image.data(), Len(image)), (std::vector<uint32_t>{40, 200}));
    EXPECT_EQ(GetDriveName(image.data(), Len(image)), nullptr);
    EXPECT_EQ(GetVersion(image.data(), Len(image)), nullptr);
}

TEST(Identity, HardwareIdComesFromTheOnlyIdentityBlockWhateverTheInquiryBlocks) {
    Bytes image(600, 0);
    PutInquiry(image, 10, "n", "v");
    PutInquiry(image, 100, "n", "v");
    PutIdentity(image, 300, "Q7");
    EXPECT_EQ(Text(GetHardwareID(image.data(), Len(image)), 2), "Q7");

    PutIdentity(image, 400, "R8");  // two identity blocks: null, the INQUIRY block is not asked
    EXPECT_EQ(GetHardwareID(image.data(), Len(image)), nullptr);
    Bytes one(600, 0);
    PutInquiry(one, 100, "n", "v", "XY");
    PutIdentity(one, 300, "Q7");
    PutIdentity(one, 400, "R8");
    EXPECT_EQ(GetHardwareID(one.data(), Len(one)), nullptr);
}

TEST(Identity, HardwareIdFallsBackToTheInquiryBlock) {
    Bytes image(200, 0);
    PutInquiry(image, 50, "n", "v", "38");
    EXPECT_EQ(Text(GetHardwareID(image.data(), Len(image)), 2), "38");
    image[46] = 'H', image[47] = 'W', image[48] = 'x', image[49] = 'y';
    EXPECT_EQ(Text(GetHardwareID(image.data(), Len(image)), 2), "xy");
    image[47] = 'w';  // case-sensitive tag
    EXPECT_EQ(Text(GetHardwareID(image.data(), Len(image)), 2), "38");

    Bytes none(200, 0);
    EXPECT_EQ(GetHardwareID(none.data(), Len(none)), nullptr);
    PutInquiry(none, 10, "n", "v");
    PutInquiry(none, 100, "n", "v");
    EXPECT_EQ(GetHardwareID(none.data(), Len(none)), nullptr);
}

TEST(Identity, IdentitySignatureIsExactAndCaseSensitive) {
    Bytes image(100, 0);
    PutIdentity(image, 20, "ab");
    EXPECT_EQ(FindIdentityBlocks(image.data(), Len(image)), (std::vector<uint32_t>{20}));
    for (auto [offset, value] : {std::pair{20, 'k'}, {23, 'a'}, {36, 'h'}, {37, 'X'}}) {
        Bytes changed = image;
        changed[offset] = static_cast<uint8_t>(value);
        EXPECT_TRUE(FindIdentityBlocks(changed.data(), Len(changed)).empty()) << offset;
    }
}

TEST(Identity, PatternsNearTheEndAndFieldsOutsideTheImage) {
    // Signatures that would run past the end are no match.
    Bytes tail(50, 0);
    tail[48] = 0x05, tail[49] = 0x80;
    EXPECT_TRUE(FindInquiryBlocks(tail.data(), Len(tail)).empty());
    Bytes kola(50, 0);
    std::memcpy(&kola[33], "KOLA", 4);  // its 'H','W' would be at 49, 50
    kola[49] = 'H';
    EXPECT_TRUE(FindIdentityBlocks(kola.data(), Len(kola)).empty());
    std::memcpy(&kola[32], "KOLA", 4);
    kola[48] = 'H', kola[49] = 'W';  // ends exactly at the end: a match without its hardware ID bytes
    EXPECT_EQ(FindIdentityBlocks(kola.data(), Len(kola)), (std::vector<uint32_t>{32}));

    // Fields that would lie outside the image give null, and the sanitizer
    // checks nothing is read there (exact-size heap buffers).
    auto exact = [](const Bytes& b) {
        std::unique_ptr<uint8_t[]> p(new uint8_t[b.size()]);
        std::memcpy(p.get(), b.data(), b.size());
        return p;
    };
    auto k = exact(kola);
    EXPECT_EQ(GetHardwareID(k.get(), Len(kola)), nullptr);

    Bytes shortInquiry(40, 0);
    PutInquiry(shortInquiry, 0, "n23456789012345678901234", "1.2 ", "zz");
    shortInquiry.resize(37);  // version fits (32..35), bytes 38, 39 do not
    auto s = exact(shortInquiry);
    EXPECT_EQ(Text(GetVersion(s.get(), 37), 4), "1.2 ");
    EXPECT_NE(GetDriveName(s.get(), 37), nullptr);
    EXPECT_EQ(GetHardwareID(s.get(), 37), nullptr);
    EXPECT_EQ(GetVersion(s.get(), 35), nullptr);
    EXPECT_EQ(GetDriveName(s.get(), 31), nullptr);

    // A tag position before the image start counts as no tag.
    Bytes early(60, 0);
    PutInquiry(early, 2, "n", "v", "EE");
    early[0] = 'H', early[1] = 'W';
    EXPECT_EQ(Text(GetHardwareID(early.data(), Len(early)), 2), "EE");
}

TEST(BuiltInContainer, HoldsAWholeNumberOfPagesAndAllThreeTexts) {
    uint32_t length = 0;
    SKFSParameter p;
    auto image = LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), length, p);
    ASSERT_NE(image, nullptr);
    EXPECT_GE(length, 1u << 20);
    EXPECT_EQ(length % 16384, 0u);
    EXPECT_EQ(p.checksum, GetCheckSum(image.get(), length));
    EXPECT_EQ(FindInquiryBlocks(image.get(), length).size(), 1u);
    EXPECT_EQ(FindIdentityBlocks(image.get(), length).size(), 1u);
    const auto name = GetDriveName(image.get(), length);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string(name.get(), 4), "VELD");
    EXPECT_NE(GetVersion(image.get(), length), nullptr);
    EXPECT_NE(GetHardwareID(image.get(), length), nullptr);
}

}  // namespace
