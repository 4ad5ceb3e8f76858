// Finding the drives: letter scan, ASPI bus scan, device table, clean-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "FakeOs.h"
#include "TAtapi.h"

namespace {

VirtualDriveConfig Named(const std::string& product, const std::string& revision) {
    VirtualDriveConfig c;
    c.vendorProduct = product;
    c.revision = revision;
    return c;
}

TEST(LetterScan, ListsFourDrivesInLetterOrderAndClosesEveryHandle) {
    FakeOs os;
    std::deque<VirtualDrive> drives;
    for (char letter : std::string("CDEFG")) {
        drives.emplace_back(Named(std::string("VEND    DRIVE ") + letter, "1.0" + std::string(1, letter)));
        os.AddDrive(letter, &drives.back());
    }
    os.SetDriveType('H', 3);  // a fixed disk is not probed further
    {
        TAtapi atapi(os);
        ASSERT_EQ(atapi.DeviceCount, 4);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(std::string(atapi.Devices[i].Product), std::string("VEND    DRIVE ") + "CDEF"[i] + "         ");
            EXPECT_EQ(std::string(atapi.Devices[i].Revision), std::string("1.0") + "CDEF"[i]);
            EXPECT_EQ(atapi.DeviceName(i), std::string("\\\\.\\") + "CDEF"[i] + ":");
            EXPECT_EQ(atapi.Devices[i].HaId, 0);
        }
        EXPECT_EQ(atapi.Devices[4].Handle, 0u);  // G was opened and asked, but not listed
        EXPECT_EQ(drives[4].Commands().size(), 1u);
        EXPECT_EQ(std::count(os.openedPaths.begin(), os.openedPaths.end(), "\\\\.\\H:"), 0);
        EXPECT_EQ(atapi.CurrentHandle, atapi.Devices[0].Handle);
        atapi.SelectDevice(2);
        EXPECT_EQ(atapi.CurrentHandle, atapi.Devices[2].Handle);
        EXPECT_EQ(os.openHandles.size(), 5u);
    }
    EXPECT_TRUE(os.openHandles.empty());  // all five, not only the last
    EXPECT_EQ(os.closedHandles.size(), 5u);
    // A to Y are asked; Z never.
    EXPECT_EQ(os.driveTypeRoots.size(), 25u);
    EXPECT_EQ(os.driveTypeRoots.front(), "A:\\");
    EXPECT_EQ(os.driveTypeRoots.back(), "Y:\\");
}

TEST(LetterScan, SkipsDrivesThatDoNotOpenAndNeverFindsZ) {
    FakeOs os;
    VirtualDrive d, e, z;
    os.AddDrive('D', &d);
    os.FailOpen('D');
    os.AddDrive('E', &e);
    os.AddDrive('Z', &z);
    TAtapi atapi(os);
    ASSERT_EQ(atapi.DeviceCount, 1);
    EXPECT_EQ(atapi.DeviceName(0), "\\\\.\\E:");
    EXPECT_TRUE(z.Commands().empty());
    EXPECT_TRUE(os.messageBoxes.empty());

    FakeOs onlyZ;
    onlyZ.AddDrive('Z', &z);
    TAtapi none(onlyZ);
    EXPECT_EQ(none.DeviceCount, 0);
    EXPECT_EQ(none.CurrentHandle, 0u);
}

TEST(LetterScan, AFailedInquiryListsTheDriveWithEmptyTexts) {
    FakeOs os;
    VirtualDrive d(Named("VEND    GOOD DRIVE      ", "2.00")), e;
    os.AddDrive('D', &d);
    os.AddDrive('E', &e);
    e.FailCommand(0x12, 1, 2, 5, 0x24, 0);
    TAtapi atapi(os);
    ASSERT_EQ(atapi.DeviceCount, 2);
    // The buffer is cleared before each INQUIRY: no bytes of D's answer show up for E.
    EXPECT_STREQ(atapi.Devices[1].Product, "");
    EXPECT_STREQ(atapi.Devices[1].Revision, "");
    EXPECT_STREQ(atapi.Devices[0].Product, "VEND    GOOD DRIVE      ");
}

TEST(LetterScan, TextsStopAtAZeroByte) {
    FakeOs os;
    VirtualDrive d(Named(std::string("VEND\0   PRODUCT", 15), std::string("1\0" "23", 4)));
    os.AddDrive('D', &d);
    TAtapi atapi(os);
    EXPECT_STREQ(atapi.Devices[0].Product, "VEND");
    EXPECT_EQ(atapi.Devices[0].Product[5], 0);  // nothing after the zero is copied
    EXPECT_STREQ(atapi.Devices[0].Revision, "1");
    EXPECT_EQ(atapi.Devices[0].Revision[2], 0);
}

struct AspiScan : ::testing::Test {
    FakeOs os;
    std::deque<VirtualDrive> drives;
    AspiScan() { os.platformId = 1; }
    VirtualDrive* Drive(const std::string& product = "VEND    ASPI DRIVE      ") {
        drives.emplace_back(Named(product, "1.05"));
        return &drives.back();
    }
};

TEST_F(AspiScan, ListsCdromDevicesInAddressOrderWithoutHandles) {
    os.hostAdapters = 2;
    os.AddAspiDevice(1, 0, 0, Drive());
    os.AddAspiDevice(0, 1, 3, Drive());
    os.AddAspiDevice(0, 4, 0, Drive(), 0);  // a disk, not listed
    TAtapi atapi(os);
    ASSERT_EQ(atapi.DeviceCount, 2);
    EXPECT_EQ(atapi.Devices[0].HaId, 0);
    EXPECT_EQ(atapi.Devices[0].Target, 1);
    EXPECT_EQ(atapi.Devices[0].Lun, 3);
    EXPECT_EQ(atapi.Devices[0].Handle, 0u);
    EXPECT_EQ(atapi.Devices[1].HaId, 1);
    EXPECT_EQ(atapi.DeviceName(0), "ASPI 0:1:3");
    EXPECT_STREQ(atapi.Devices[0].Revision, "1.05");
    EXPECT_EQ(os.gdevRequests.size(), 128u);  // 64 addresses per adapter, LUN innermost
    EXPECT_EQ(os.gdevRequests[1].SRB_Lun, 1);
    EXPECT_EQ(os.gdevRequests[8].SRB_Target, 1);
    EXPECT_EQ(os.gdevRequests[0].SRB_Cmd, 1);
    EXPECT_EQ(atapi.CurrentTarget, 1);  // entry 0 is current
    EXPECT_EQ(atapi.CurrentLun, 3);
    atapi.SelectDevice(1);
    EXPECT_EQ(atapi.CurrentHaId, 1);
    EXPECT_EQ(atapi.CurrentTarget, 0);
}

TEST_F(AspiScan, NeverWritesPastTheTwentiethEntry) {
    for (uint8_t t = 0; t < 8; ++t)
        for (uint8_t l = 0; l < 3; ++l) os.AddAspiDevice(0, t, l, Drive());
    TAtapi atapi(os);
    EXPECT_EQ(atapi.DeviceCount, 20);
    EXPECT_EQ(atapi.Devices[19].Target, 6);
    EXPECT_EQ(atapi.Devices[19].Lun, 1);
}

TEST_F(AspiScan, NoAdaptersMeansNoQueries) {
    os.hostAdapters = 0;
    os.AddAspiDevice(0, 0, 0, Drive());
    TAtapi atapi(os);
    EXPECT_EQ(atapi.DeviceCount, 0);
    EXPECT_TRUE(os.gdevRequests.empty());
    EXPECT_EQ(os.supportInfoCalls, 1);
}

TEST_F(AspiScan, MissingManagerIsReportedOnceAndLeavesAnEmptyTable) {
    os.aspiLibraryPresent = false;
    os.systemDirectory = "C:\\" + std::string(200, 'S');  // the path is built whole, however long
    {
        TAtapi atapi(os);
        EXPECT_EQ(os.messageBoxes, std::vector<std::string>{"WNASPI32.DLL not found"});
        EXPECT_EQ(atapi.DeviceCount, 0);
        EXPECT_EQ(atapi.ExecRequest, nullptr);
    }
    EXPECT_EQ(os.libraryLoads, std::vector<std::string>{os.systemDirectory + "\\WNASPI32.DLL"});
    EXPECT_EQ(os.librariesFreed, 0);

    FakeOs loaded;
    loaded.platformId = 1;
    { TAtapi atapi(loaded); }
    EXPECT_EQ(loaded.librariesFreed, 1);
}

TEST_F(AspiScan, SlowAddressesArePumpedAndOneThatNeverAnswersIsSkipped) {
    os.AddAspiDevice(0, 0, 0, Drive());
    os.AddAspiDevice(0, 1, 0, Drive());
    os.AddAspiDevice(0, 2, 0, Drive());
    os.gdevPendingPolls[{0, 0, 0}] = 3;
    os.gdevPendingPolls[{0, 1, 0}] = -1;  // never
    TAtapi atapi(os);
    ASSERT_EQ(atapi.DeviceCount, 2);
    EXPECT_EQ(atapi.Devices[0].Target, 0);
    EXPECT_EQ(atapi.Devices[1].Target, 2);  // discovery went on past the silent address
    EXPECT_GE(os.pumpedMessages, 3);
}

// The bound is time, not polls: an answer 5 seconds late, however many polls that takes, still counts.
TEST_F(AspiScan, AnAnswerFiveSecondsLateStillListsTheDrive) {
    os.AddAspiDevice(0, 3, 0, Drive());
    os.gdevAnswerAfterMs[{0, 3, 0}] = 5000;
    TAtapi atapi(os);
    ASSERT_EQ(atapi.DeviceCount, 1);
    EXPECT_EQ(atapi.Devices[0].Target, 3);
    EXPECT_STREQ(atapi.Devices[0].Revision, "1.05");
    EXPECT_GE(os.pumpedMessages, 2000);  // the clock moves 1 ms a look, so thousands of polls passed
}

}  // namespace
