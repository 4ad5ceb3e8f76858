// The channel to in-process drive models, driven through the drive-access object.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TAtapi.h"
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

}  // namespace
