// The in-process drives behind the OS layer, and the dry-run filter over it,
// driven through the drive-access object.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DryRunOsApi.h"
#include "TAtapi.h"
#include "VirtualOsApi.h"

namespace {

constexpr uint8_t kPageWrite[12] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, 0x12, 0x34, 0x56, 0x78, 0x01, 0x08};

TEST(VirtualOsApi, DrivesOnLettersFromD) {
    VirtualDriveConfig second;
    second.vendorProduct = "OTHER   DRIVE           ";
    second.revision = "2.00";
    VirtualDrive d, e(second);
    VirtualOsApi os;
    os.AddDrive(d);
    os.AddDrive(e);
    EXPECT_EQ(os.GetDriveType("C:\\"), 1u);
    EXPECT_EQ(os.GetDriveType("F:\\"), 1u);
    TAtapi atapi(os);
    ASSERT_EQ(atapi.DeviceCount, 2);
    EXPECT_EQ(atapi.DeviceName(0), "\\\\.\\D:");
    EXPECT_EQ(atapi.DeviceName(1), "\\\\.\\E:");
    EXPECT_STREQ(atapi.Devices[0].Product, "VELD    DVD-RW KX4800   ");
    EXPECT_STREQ(atapi.Devices[1].Product, "OTHER   DRIVE           ");
    EXPECT_STREQ(atapi.Devices[1].Revision, "2.00");
    EXPECT_EQ(d.Commands().size(), 1u);
    EXPECT_EQ(e.Commands().size(), 1u);
}

TEST(VirtualOsApi, DataDirectionLengthAndSenseCrossTheBlock) {
    VirtualDrive drive;
    drive.FailCommand(0xFD, 2, 2, 3, 0x0C, 0x01);
    VirtualOsApi os;
    os.AddDrive(drive);
    TAtapi atapi(os);
    atapi.SelectDevice(0);
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
    EXPECT_EQ(r.SenseKey(), 3);
    EXPECT_EQ(r.Asc(), 0x0C);
    EXPECT_EQ(r.Ascq(), 0x01);

    uint8_t inquiry[50] = {};
    EXPECT_EQ(atapi.Inquiry(inquiry), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(inquiry + 32), 4), "1.02");
    EXPECT_EQ(drive.Commands().back().direction, kDirIn);
}

TEST(VirtualOsApi, RejectsWhatIsNotAPassThroughRequest) {
    VirtualDrive drive;
    VirtualOsApi os;
    os.AddDrive(drive);
    const OsHandle h = os.CreateFile("\\\\.\\D:");
    ASSERT_NE(h, kInvalidHandle);
    EXPECT_EQ(os.CreateFile("\\\\.\\E:"), kInvalidHandle);
    PassThroughBlock block{};
    const uint32_t size = kNativePassThrough.blockSize;
    EXPECT_FALSE(
        os.DeviceIoControl(h, kIoctlScsiPassThroughDirect, block.bytes, size, block.bytes, size, nullptr));
    FillPassThrough(block.bytes, kNativePassThrough, kPageWrite, 0, 0, kScsiIoctlDataUnspecified);
    EXPECT_FALSE(os.DeviceIoControl(h, 0x1234, block.bytes, size, block.bytes, size, nullptr));
    EXPECT_FALSE(os.DeviceIoControl(h, kIoctlScsiPassThroughDirect, block.bytes, size - 1, block.bytes, size,
                                    nullptr));
    EXPECT_FALSE(os.DeviceIoControl(h + 1, kIoctlScsiPassThroughDirect, block.bytes, size, block.bytes, size,
                                    nullptr));
    EXPECT_TRUE(drive.Commands().empty());
    EXPECT_TRUE(
        os.DeviceIoControl(h, kIoctlScsiPassThroughDirect, block.bytes, size, block.bytes, size, nullptr));
    ASSERT_EQ(drive.Commands().size(), 1u);
    EXPECT_EQ(drive.Commands()[0].direction, 0);
}

TEST(DryRunOsApi, OnlyInquiryAndIdentityQueryReachTheDrive) {
    VirtualDrive drive;
    VirtualOsApi os;
    os.AddDrive(drive);
    std::vector<std::string> held;
    DryRunOsApi dry(os, [&](const uint8_t* cdb, uint32_t length) {
        held.push_back(CommandHex(cdb) + " / " + std::to_string(length));
    });
    TAtapi atapi(dry);
    ASSERT_EQ(atapi.DeviceCount, 1);
    atapi.SelectDevice(0);
    const uint8_t identity[12] = {0x5A, 0x00, 0x38, 0x4B, 0x4F, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00};
    uint8_t reply[20] = {};
    EXPECT_EQ(atapi.SendCommand(identity, reply, 20, kDirIn), 1);
    EXPECT_EQ(reply[0], 'K');
    std::vector<uint8_t> page(0x4000);
    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 1);
    const uint8_t testUnitReady[12] = {};
    atapi.SendCommand(testUnitReady, nullptr, 0, 0);

    ASSERT_EQ(drive.Commands().size(), 2u);  // INQUIRY at discovery, then the identity query
    EXPECT_EQ(drive.Commands()[0].cdb[0], 0x12);
    EXPECT_EQ(drive.Commands()[1].cdb[0], 0x5A);
    EXPECT_EQ(held, (std::vector<std::string>{"FD 07 56 45 4C 44 12 34 56 78 01 08 / 16384",
                                              "00 00 00 00 00 00 00 00 00 00 00 00 / 0"}));
}

}  // namespace
