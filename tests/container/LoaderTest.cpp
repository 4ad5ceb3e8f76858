#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "HandMade.h"
#include "Kfs.h"
#include "KfsRead.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Result {
    std::unique_ptr<uint8_t[]> image;
    uint32_t length = 0xDEADBEEF;
    SKFSParameter parameter;
    KfsRejection why = KfsRejection::None;
};

Result Load(const Bytes& c) {
    Result r;
    r.parameter.checksum = 0x1234;
    r.image = LoadContainer(c.data(), c.size(), r.length, r.parameter, &r.why);
    return r;
}

Bytes Image(const Result& r) { return Bytes(r.image.get(), r.image.get() + r.length); }

void ExpectUntouched(const Result& r) {
    EXPECT_EQ(r.image, nullptr);
    EXPECT_EQ(r.length, 0xDEADBEEF);
    EXPECT_EQ(r.parameter.checksum, 0x1234);
    EXPECT_TRUE(r.parameter.bankLengths.empty());
    EXPECT_TRUE(r.parameter.reserveBlocks.empty());
}

Bytes Filled(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

TEST(LoaderMagicAndVersion, RejectsAnythingButTheExactMagicAndKnownVersions) {
    const Bytes good = handmade::Old(' ', 0, 0, {Filled(10, 1)});
    EXPECT_NE(Load(good).image, nullptr);

    Bytes longer = good;
    longer[16] = 'X';  // magic text continues past its 16 characters
    Bytes shorter = good;
    shorter[15] = 0;
    Bytes lower = good;
    lower[0] = 'k';
    for (const Bytes& c : {longer, shorter, lower}) {
        Result r = Load(c);
        ExpectUntouched(r);
        EXPECT_EQ(r.why, KfsRejection::BadMagic);
    }
    for (uint8_t version : {uint8_t{'0'}, uint8_t{'4'}, uint8_t{0}, uint8_t{'A'}}) {
        Bytes c = good;
        c[24] = version;
        Result r = Load(c);
        ExpectUntouched(r);
        EXPECT_EQ(r.why, KfsRejection::BadVersion);
    }
}

TEST(LoaderOldLayout, FillsFixedRecordValuesAndSlots) {
    const Bytes b0 = Filled(100, 1), b1 = Filled(0, 0), b2 = Filled(65535, 9);
    Result r = Load(handmade::Old('1', 0, 0xBEEF, {b0, b1, b2}));
    ASSERT_NE(r.image, nullptr);
    ASSERT_EQ(r.length, 3u * 65536);
    EXPECT_EQ(r.parameter.checksum, 0xBEEF);
    EXPECT_EQ(r.parameter.option1, 1);
    EXPECT_EQ(r.parameter.option2, 0);
    EXPECT_EQ(r.parameter.option3, 1);
    EXPECT_EQ(r.parameter.bankSize, 0x10000u);
    EXPECT_EQ(r.parameter.value1, -1);
    EXPECT_EQ(r.parameter.value2, -1);
    ASSERT_EQ(r.parameter.reserveBlocks.size(), 1u);
    EXPECT_EQ(r.parameter.reserveBlocks[0].offset, 0x1F000u);
    EXPECT_EQ(r.parameter.reserveBlocks[0].length, 0x1000u);
    EXPECT_EQ(r.parameter.bankLengths, (std::vector<uint32_t>{100, 0, 65535}));

    const Bytes image = Image(r);
    Bytes expected(3 * 65536, 0);
    std::copy(b0.begin(), b0.end(), expected.begin());
    std::copy(b2.begin(), b2.end(), expected.begin() + 2 * 65536);
    EXPECT_EQ(image, expected);
    EXPECT_EQ(image.back(), 0);  // a 65535-byte bank leaves its slot's last byte zero
}

TEST(LoaderOldLayout, DataStartsAt64UpToEightBanksAndAt112FromNine) {
    for (size_t banks : {0u, 1u, 8u, 9u, 38u}) {
        std::vector<Bytes> stored;
        for (size_t i = 0; i < banks; ++i) stored.push_back(Filled(3, static_cast<uint8_t>(i + 1)));
        const Bytes c = handmade::Old('2', 0, 0, stored);
        EXPECT_EQ(c.size(), (banks <= 8 ? 64u : 112u) + 3 * banks);
        Result r = Load(c);
        ASSERT_NE(r.image, nullptr) << banks;
        ASSERT_EQ(r.length, banks * 65536);
        for (size_t i = 0; i < banks; ++i) EXPECT_EQ(r.image[i * 65536], i + 1) << banks;
        EXPECT_EQ(r.parameter.reserveBlocks.size(), 1u);
    }
}

TEST(LoaderOldLayout, VersionsShareOneLayoutAndModeSelectsSelfKeying) {
    const Bytes plain = Filled(40, 2);
    Result space = Load(handmade::Old(' ', 0, 5, {plain}));
    for (char v : {'1', '2'}) {
        Result other = Load(handmade::Old(v, 0, 5, {plain}));
        EXPECT_EQ(Image(other), Image(space));
        EXPECT_EQ(other.parameter.bankLengths, space.parameter.bankLengths);
    }
    // Mode 2 is the version-3 header key: the old layout copies such banks plain.
    EXPECT_EQ(Image(Load(handmade::Old(' ', 2, 5, {plain}))), Image(space));

    // Mode 1: every bank self-keyed, each by its own first stored byte.
    Bytes p0 = Filled(30, 7), p1 = Filled(19, 3);
    p0[0] = p1[0] = 2;
    Result keyed = Load(handmade::Old('1', 1, 0, {handmade::Scramble(p0, 0x10), {}, handmade::Scramble(p1, 0xE1)}));
    ASSERT_NE(keyed.image, nullptr);
    EXPECT_TRUE(std::equal(p0.begin(), p0.end(), keyed.image.get()));
    EXPECT_EQ(Bytes(keyed.image.get() + 65536, keyed.image.get() + 2 * 65536), Bytes(65536, 0));  // an empty bank
    EXPECT_TRUE(std::equal(p1.begin(), p1.end(), keyed.image.get() + 2 * 65536));
    EXPECT_EQ(keyed.image[2 * 65536 + 19], 0);  // only the stored bytes are descrambled
}

TEST(LoaderV3Layout, CopiesHeaderFieldsAndReserveTable) {
    handmade::V3Fields f;
    f.bankSize = 0x4000;
    f.reserve = {{0x100, 0x20}, {0xFFFFFFFF, 7}};
    const Bytes b0 = Filled(0x4000, 4), b1 = Filled(9, 5);
    Result r = Load(handmade::V3(0, 0xA55A, f, {b0, b1}));
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(r.length, 0x8000u);
    EXPECT_EQ(r.parameter.checksum, 0xA55A);
    EXPECT_EQ(r.parameter.option1, 7);
    EXPECT_EQ(r.parameter.option2, 8);
    EXPECT_EQ(r.parameter.option3, 9);
    EXPECT_EQ(r.parameter.bankSize, 0x4000u);
    EXPECT_EQ(r.parameter.value1, 0x11223344);
    EXPECT_EQ(r.parameter.value2, -2);
    EXPECT_EQ(r.parameter.bankLengths, (std::vector<uint32_t>{0x4000, 9}));
    ASSERT_EQ(r.parameter.reserveBlocks.size(), 2u);
    EXPECT_EQ(r.parameter.reserveBlocks[1].offset, 0xFFFFFFFFu);
    EXPECT_EQ(r.parameter.reserveBlocks[1].length, 7u);
    EXPECT_TRUE(std::equal(b0.begin(), b0.end(), r.image.get()));
    EXPECT_TRUE(std::equal(b1.begin(), b1.end(), r.image.get() + 0x4000));
}

TEST(LoaderV3Layout, HeaderKeyRestartsAtEveryBankAndOnlyModeTwoScrambles) {
    handmade::V3Fields f;
    f.bankSize = 64;
    f.reserve = {};  // bank data directly after the lengths table
    const Bytes plain = Filled(50, 11);
    const Bytes stored = handmade::Scramble(plain, handmade::Key(f.key));
    Result r = Load(handmade::V3(2, 0, f, {stored, stored}));
    ASSERT_NE(r.image, nullptr);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), r.image.get()));
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), r.image.get() + 64));

    Result mode1 = Load(handmade::V3(1, 0, f, {plain}));  // self-keying is old-layout only
    ASSERT_NE(mode1.image, nullptr);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), mode1.image.get()));
}

TEST(LoaderV3Layout, ZeroBanksGiveAnEmptyImage) {
    handmade::V3Fields f;
    Result r = Load(handmade::V3(2, 0, f, {}));
    ASSERT_NE(r.image, nullptr);
    EXPECT_EQ(r.length, 0u);
    EXPECT_TRUE(r.parameter.bankLengths.empty());
}

TEST(LoaderRecord, ALaterLoadReplacesEverythingAndARejectionTouchesNothing) {
    handmade::V3Fields f;
    f.reserve = {{1, 2}, {3, 4}, {5, 6}};
    SKFSParameter p;
    uint32_t length = 0;
    const Bytes v3 = handmade::V3(0, 1, f, {Filled(5, 1), Filled(5, 1), Filled(5, 1)});
    ASSERT_NE(LoadContainer(v3.data(), v3.size(), length, p), nullptr);
    ASSERT_EQ(p.reserveBlocks.size(), 3u);

    const Bytes old = handmade::Old(' ', 0, 2, {Filled(5, 1)});
    ASSERT_NE(LoadContainer(old.data(), old.size(), length, p), nullptr);
    EXPECT_EQ(p.reserveBlocks.size(), 1u);
    EXPECT_EQ(p.bankLengths.size(), 1u);
    EXPECT_EQ(p.option1, 1);
    EXPECT_EQ(length, 65536u);

    Bytes bad = old;
    bad[24] = '9';
    const SKFSParameter before = p;
    EXPECT_EQ(LoadContainer(bad.data(), bad.size(), length, p), nullptr);
    EXPECT_EQ(length, 65536u);
    EXPECT_EQ(p.checksum, before.checksum);
    EXPECT_EQ(p.bankLengths, before.bankLengths);
}

// The loader is given the container's size and never reads past it.
TEST(LoaderBounds, RejectsEveryTruncationWithoutReadingPastTheEnd) {
    handmade::V3Fields f;
    f.bankSize = 32;
    f.reserve = {{1, 2}};
    const Bytes containers[] = {
        handmade::Old(' ', 1, 0, {Bytes{2, 3, 4}, Filled(20, 2)}),
        handmade::Old(' ', 0, 0, std::vector<Bytes>(9, Filled(4, 1))),
        handmade::V3(2, 0, f, {Filled(32, 1), Filled(17, 3)}),
    };
    for (const Bytes& full : containers) {
        ASSERT_NE(Load(full).image, nullptr);
        for (size_t size = 0; size < full.size(); ++size) {
            // An exact-size heap copy lets the sanitizer catch any read past the end.
            std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
            std::memcpy(copy.get(), full.data(), size);
            Result r;
            r.parameter.checksum = 0x1234;
            r.image = LoadContainer(copy.get(), size, r.length, r.parameter, &r.why);
            ExpectUntouched(r);
            EXPECT_NE(r.why, KfsRejection::None) << size;
        }
    }
}

TEST(LoaderBounds, RejectsOversizedBanksImagesAndBankCounts) {
    // Old layout: more than 38 banks cannot have their lengths table before offset 112.
    Bytes many = handmade::Header(' ', 0, 112 + 39);
    handmade::Put16(many, 34, 39);
    Result r = Load(many);
    ExpectUntouched(r);
    EXPECT_EQ(r.why, KfsRejection::TooManyBanks);

    handmade::V3Fields f;
    f.bankSize = 16;
    r = Load(handmade::V3(0, 0, f, {Filled(17, 1)}));
    ExpectUntouched(r);
    EXPECT_EQ(r.why, KfsRejection::BankTooLong);

    f.bankSize = 0x80000000;
    r = Load(handmade::V3(0, 0, f, {Bytes{}, Bytes{}}));
    ExpectUntouched(r);
    EXPECT_EQ(r.why, KfsRejection::ImageTooLarge);

    // A lengths table that claims more banks than the container holds.
    Bytes v3 = handmade::V3(0, 0, handmade::V3Fields{}, {Filled(4, 1)});
    handmade::Put32(v3, 36, 1000);
    r = Load(v3);
    ExpectUntouched(r);
    EXPECT_EQ(r.why, KfsRejection::Truncated);
}

// A header may ask for gigabytes; the answer must come before any of it is
// allocated, and exactly at the limit the image still loads.
TEST(LoaderLimits, RefusesImagesOver64MiBAndContainersOverTheirMostFromTheHeader) {
    // 60 bytes: one bank of 0xFFFFFFFF bytes, none stored.
    handmade::V3Fields f;
    f.bankSize = 0xFFFFFFFF;
    Result r = Load(handmade::V3(0, 0, f, {Bytes{}}));
    ExpectUntouched(r);
    EXPECT_EQ(r.why, KfsRejection::ImageTooLarge);

    f.bankSize = kfs::kMaxImageLength + 1;
    EXPECT_EQ(Load(handmade::V3(0, 0, f, {Bytes{}})).why, KfsRejection::ImageTooLarge);
    f.bankSize = kfs::kMaxImageLength / 2;
    r = Load(handmade::V3(0, 0, f, {Filled(3, 1), Bytes{}}));
    ASSERT_NE(r.image, nullptr) << RejectionText(r.why);
    EXPECT_EQ(r.length, kfs::kMaxImageLength);

    // Tables that alone would take more than any container needs.
    Bytes tables = handmade::V3(0, 0, handmade::V3Fields{}, {});
    handmade::Put32(tables, 44, 0x01000000);
    r = Load(tables);
    ExpectUntouched(r);
    EXPECT_EQ(r.why, KfsRejection::ContainerTooLarge);
    // Tables that end just inside the limit, with a bank whose 16 bytes would take it past.
    Bytes edge = handmade::V3(0, 0, handmade::V3Fields{}, {Filled(16, 1)});
    handmade::Put32(edge, 44, (kfs::kMaxContainerSize - 60) / 8);
    edge.resize(kfs::kMaxContainerSize - 4);
    EXPECT_EQ(Load(edge).why, KfsRejection::ContainerTooLarge);
}

class ContainerReader : public ::testing::Test {
protected:
    ContainerRead Read(std::FILE* in, std::optional<uint64_t> size = std::nullopt) {
        bytes_.assign(3, 0xEE);  // a stale content must go
        ContainerRead r = ReadContainer(in, size, bytes_);
        return r;
    }
    static std::FILE* TemporaryWith(const Bytes& content) {
        std::FILE* f = std::tmpfile();
        if (f) std::fwrite(content.data(), 1, content.size(), f);
        if (f) std::rewind(f);
        return f;
    }
    Bytes bytes_;
};

// Data without the magic is refused from its first bytes, and nothing larger
// than the largest container is read, whatever the input is.
TEST_F(ContainerReader, ReadsTheHeaderFirstAndNeverMoreThanTheLargestContainer) {
    std::FILE* zero = std::fopen("/dev/zero", "rb");
    ASSERT_NE(zero, nullptr);
    ContainerRead r = Read(zero);
    std::fclose(zero);
    EXPECT_EQ(r.rejection, KfsRejection::BadMagic);
    EXPECT_LE(bytes_.size(), kfs::kVersionOffset + 1);

    Bytes unknown = handmade::Old(' ', 0, 0, {});
    unknown[kfs::kVersionOffset] = '7';
    std::FILE* tmp = TemporaryWith(unknown);
    ASSERT_NE(tmp, nullptr);
    EXPECT_EQ(Read(tmp).rejection, KfsRejection::BadVersion);
    std::fclose(tmp);

    // A 2 GiB sparse file with the magic: its size is enough to refuse it.
    const Bytes good = handmade::V3(2, 0, handmade::V3Fields{}, {Filled(40, 3)});
    tmp = TemporaryWith(good);
    ASSERT_EQ(ftruncate(fileno(tmp), off_t{2} << 30), 0);
    r = Read(tmp, uint64_t{2} << 30);
    std::fclose(tmp);
    EXPECT_EQ(r.outcome, ReadOutcome::TooLarge);
    EXPECT_EQ(r.rejection, KfsRejection::None);
    EXPECT_EQ(bytes_.size(), kfs::kVersionOffset + 1);

    // A pipe has no size: it is read up to one byte past the largest container.
    std::FILE* endless = popen("printf 'KOLA FILE SYSTEM\\0\\0\\0\\0\\0\\0\\0\\0003'; exec cat /dev/zero", "r");
    ASSERT_NE(endless, nullptr);
    r = Read(endless);
    pclose(endless);
    EXPECT_EQ(r.outcome, ReadOutcome::TooLarge);
    EXPECT_LE(bytes_.size(), kfs::kMaxContainerSize + 1);

    // A container reads whole, from its start.
    tmp = TemporaryWith(good);
    r = Read(tmp, good.size());
    std::fclose(tmp);
    EXPECT_EQ(r.outcome, ReadOutcome::Done);
    EXPECT_EQ(r.rejection, KfsRejection::None);
    EXPECT_EQ(bytes_, good);
}

}  // namespace
