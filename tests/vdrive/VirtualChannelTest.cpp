// The channel to in-process drive models, driven through the drive-access object.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Firmware.h"
#include "TAtapi.h"
#include "VendorProtocol.h"
#include "VirtualChannel.h"

namespace {

constexpr uint8_t kPageWrite[12] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, 0x12, 0x34, 0x56, 0x78, 0x01, 0x08};

TEST(VirtualChannel, DrivesAreListedByNumberAndAskedTheirInquiry) {
    VirtualDriveConfig second;
    second.vendorProduct = "OTHER   DRIVE           ";
    second.revision = "2.00";
    VirtualDrive d, e(second);
    VirtualChannel channel;
    channel.AddDrive(d);
    channel.AddDrive(e);
    TAtapi atapi(channel);
    ASSERT_EQ(atapi.DeviceCount, 2);
    EXPECT_EQ(atapi.DeviceName(0), "virtual drive 1");
    EXPECT_EQ(atapi.DeviceName(1), "virtual drive 2");
    EXPECT_STREQ(atapi.Devices[0].Product, "VELD    DVD-RW KX4800   ");
    EXPECT_STREQ(atapi.Devices[1].Product, "OTHER   DRIVE           ");
    EXPECT_STREQ(atapi.Devices[1].Revision, "2.00");
    EXPECT_EQ(d.Commands().size(), 1u);
    EXPECT_EQ(e.Commands().size(), 1u);
}

TEST(VirtualChannel, DataDirectionLengthAndSenseCrossTheChannel) {
    VirtualDrive drive;
    drive.FailCommand(0xFD, 2, 2, 3, 0x0C, 0x01);
    drive.NeverComplete(0xFD, 3);
    VirtualChannel channel;
    channel.AddDrive(drive);
    TAtapi atapi(channel);
    std::vector<uint8_t> page(0x4000, 0xA5);
    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 1);
    EXPECT_EQ(atapi.LastCommand().outcome, CommandOutcome::Completed);
    ASSERT_EQ(drive.Commands().size(), 2u);
    EXPECT_EQ(drive.Commands()[1].direction, kDirOut);
    EXPECT_EQ(drive.Commands()[1].length, 0x4000u);
    EXPECT_EQ(std::memcmp(drive.Commands()[1].cdb, kPageWrite, 12), 0);
    ASSERT_EQ(drive.AssembledImage().size(), 0x4000u);
    EXPECT_EQ(drive.AssembledImage()[100], 0xA5);

    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 2);
    const CommandRecord& r = atapi.LastCommand();
    EXPECT_EQ(r.outcome, CommandOutcome::Failed);
    EXPECT_EQ(atapi.Describe(r), "Status 2, sense key 03h, ASC 0Ch, ASCQ 01h");

    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 4);
    EXPECT_EQ(r.outcome, CommandOutcome::TimedOut);
    EXPECT_EQ(atapi.Describe(r), "Status 4: the virtual drive never answered");

    // No data moves without a direction.
    atapi.SendCommand(kPageWrite, page.data(), 0x4000, 0);
    EXPECT_EQ(drive.Commands().back().length, 0u);
    EXPECT_EQ(drive.Commands().back().direction, 0);
}

// The model is the judge of every flash the tests run: each way a page write can be wrong must show.
TEST(VirtualDrive, EveryWrongPageWriteIsAMismatch) {
    struct Wrong {
        int page;  // the page (1 or 2) that is sent wrong; 0: both
        void (*spoil)(uint8_t* cdb, uint32_t& length, uint8_t& direction);  // nullptr: both sent right
        const char* seen;  // the start of the mismatch it gives; "": none
    };
    const Wrong table[] = {
        {0, nullptr, ""},
        {1, [](uint8_t* c, uint32_t&, uint8_t&) { c[3] ^= 1; }, "page 1: fixed command bytes differ"},
        {2, [](uint8_t* c, uint32_t&, uint8_t&) { c[11] = 0; }, "page 2: fixed command bytes differ"},
        {1, [](uint8_t*, uint32_t& l, uint8_t&) { l = kPageSize / 2; }, "page 1: length 8192 direction 16"},
        {2, [](uint8_t*, uint32_t&, uint8_t& d) { d = kDirIn; }, "page 2: length 16384 direction 8"},
        {1, [](uint8_t* c, uint32_t&, uint8_t&) { c[7] ^= 1; }, "page 1: page checksum "},
        {2, [](uint8_t* c, uint32_t&, uint8_t&) { c[10] = 3; }, "page 2: page number byte 3"},
        {2, [](uint8_t* c, uint32_t&, uint8_t&) { c[9] ^= 1; }, "page 2: image checksum "},
        {0, [](uint8_t* c, uint32_t&, uint8_t&) { c[9] ^= 1; }, "image checksum "},  // the same on every page
    };
    std::vector<uint8_t> image(2 * kPageSize);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + i / 300);
    const uint16_t imageSum = GetCheckSum(image.data(), static_cast<uint32_t>(image.size()));
    for (const Wrong& wrong : table) {
        SCOPED_TRACE(wrong.seen);
        VirtualDrive drive;
        for (int page = 1; page <= 2; ++page) {
            uint8_t* data = &image[(page - 1) * kPageSize];
            uint8_t cdb[12];
            BuildPageWrite(cdb, {GetCheckSum(data, kPageSize), imageSum, static_cast<uint8_t>(page)});
            uint32_t length = kPageSize;
            uint8_t direction = kDirOut;
            if (wrong.spoil && (page == wrong.page || wrong.page == 0)) wrong.spoil(cdb, length, direction);
            const DriveAnswer answer = drive.Execute(cdb, data, length, direction);
            // Only a transfer of the wrong size or way is refused; the drive takes what fits it.
            const bool refused = std::string(wrong.seen).find("length") != std::string::npos && page == wrong.page;
            EXPECT_EQ(answer.scsiStatus, refused ? 2 : 0);
        }
        const std::vector<std::string> seen = drive.Mismatches();
        if (!wrong.spoil) {
            EXPECT_EQ(seen, std::vector<std::string>{});
            EXPECT_EQ(drive.AssembledImage(), image);
            continue;
        }
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front().rfind(wrong.seen, 0), 0u) << seen.front();
    }
}

}  // namespace
