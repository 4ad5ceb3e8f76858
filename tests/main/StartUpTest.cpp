// Start-up of the window: caption, checksum line, drive list, current drive.
#include <cstring>

#include "EmbeddedContainer.h"
#include "MainFixture.h"

namespace {

using StartUp = MainFixture;

std::vector<uint8_t> Embedded() {
    return {EmbeddedContainerData(), EmbeddedContainerData() + EmbeddedContainerSize()};
}

TEST_F(StartUp, TheBuiltInContainerNamesTheDriveInTheCaption) {
    Drive('D');
    Start(Embedded());
    EXPECT_EQ(window.caption, "VELD    DVD-RW KX4800   1.02 K4 Updater");
    EXPECT_TRUE(window.log.empty());
    ASSERT_NE(form->Image.data, nullptr);
    EXPECT_EQ(form->Image.length, 0x100000u);
    EXPECT_EQ(form->ImageCheckSum, Sum(form->Image.data.get(), form->Image.length));
    EXPECT_STREQ(form->ImageDriveName.get(), "VELD    DVD-RW KX4800   ");
    EXPECT_STREQ(form->ImageVersion.get(), "1.02");
    EXPECT_STREQ(form->ImageHardwareID.get(), "K4");
    // The log is cleared once, before anything is written to it.
    EXPECT_EQ(std::count(window.calls.begin(), window.calls.end(), "ClearLog"), 1);
}

TEST_F(StartUp, CaptionPutsTheVersionRightAfterTheFullWidthDriveName) {
    testimage::Shape shape;
    shape.driveName = "ACME    WRITER 9        ";
    shape.version = "2.3a";
    shape.hardwareId = "Q7";
    Start(shape);
    EXPECT_EQ(window.caption, "ACME    WRITER 9        2.3a Q7 Updater");
}

TEST_F(StartUp, AnAbsentTextContributesNothingToTheCaption) {
    testimage::Shape shape;
    shape.inquiryBlock = false;  // no drive name, no version
    Start(shape);
    EXPECT_EQ(form->ImageDriveName, nullptr);
    EXPECT_EQ(form->ImageVersion, nullptr);
    EXPECT_EQ(window.caption, " K4 Updater");
}

TEST_F(StartUp, ARejectedContainerLeavesAnEmptyImageAndAStillUsableWindow) {
    Drive('D');
    Drive('E');
    std::vector<uint8_t> junk(4096, 0x41);
    Start(junk);
    EXPECT_EQ(form->Image.data, nullptr);
    EXPECT_EQ(form->Image.length, 0u);
    EXPECT_EQ(form->ImageCheckSum, 0);
    EXPECT_EQ(window.caption, "  Updater");
    EXPECT_TRUE(window.log.empty());  // the record's checksum stays 0, like the image's
    EXPECT_EQ(window.items.size(), 2u);
    EXPECT_EQ(window.selected, 0);
}

TEST_F(StartUp, AStoredChecksumThatDiffersGivesOneLogLine) {
    image = testimage::Image({});
    auto bytes = testimage::Container(image);
    testimage::SetStoredChecksum(bytes, static_cast<uint16_t>(Sum(image.data(), image.size()) + 1));
    Start(bytes);
    EXPECT_EQ(window.log, std::vector<std::string>{"Check Sum error !"});
    EXPECT_NE(form->Image.data, nullptr);
}

TEST_F(StartUp, EveryDriveIsListedInTableOrderWithItsNumberProductAndRevision) {
    VirtualDriveConfig second;
    second.vendorProduct = "OTHR    CD-ROM 52X      ";
    second.revision = "3.10";
    VirtualDriveConfig third;
    third.vendorProduct = "SHORT";  // the drive pads it with spaces, which are kept
    third.revision = "1";
    Drive('F', third);
    Drive('D');
    Drive('E', second);
    Start();
    EXPECT_EQ(window.items, (std::vector<std::string>{"[ 1 ] VELD    DVD-RW KX4800     1.02",
                                                      "[ 2 ] OTHR    CD-ROM 52X        3.10",
                                                      "[ 3 ] SHORT                     1   "}));
    EXPECT_EQ(window.selected, 0);
    EXPECT_EQ(atapi->CurrentHandle, atapi->Devices[0].Handle);
    EXPECT_NE(atapi->CurrentHandle, atapi->Devices[1].Handle);
}

TEST_F(StartUp, NumbersHaveNoLeadingZerosOrSpaces) {
    for (uint8_t target = 0; target < 6; ++target) {
        AspiDrive(0, target, 0);
        AspiDrive(0, target, 1);
    }
    Start();
    ASSERT_EQ(window.items.size(), 12u);
    EXPECT_EQ(window.items[8].substr(0, 6), "[ 9 ] ");
    EXPECT_EQ(window.items[9].substr(0, 7), "[ 10 ] ");
    EXPECT_EQ(window.items[11].substr(0, 7), "[ 12 ] ");
}

TEST_F(StartUp, WithNoDriveTheListStaysEmptyAndTheCurrentDeviceUnchanged) {
    Start();
    EXPECT_TRUE(window.items.empty());
    EXPECT_EQ(window.selected, -1);
    EXPECT_EQ(atapi->CurrentHandle, 0u);
    EXPECT_EQ(atapi->CurrentHaId, 0);
}

TEST_F(StartUp, ChoosingAnItemMakesThatEntryTheCurrentDevice) {
    AspiDrive(0, 1, 0);
    AspiDrive(0, 2, 0);
    AspiDrive(1, 5, 3);
    os.hostAdapters = 2;
    Start();
    EXPECT_EQ(atapi->CurrentTarget, 1);
    window.selected = 2;
    form->cbbDeviceChange();
    EXPECT_EQ(atapi->CurrentHaId, 1);
    EXPECT_EQ(atapi->CurrentTarget, 5);
    EXPECT_EQ(atapi->CurrentLun, 3);

    // Text typed into the edit field leaves no item selected: nothing changes.
    window.selected = -1;
    form->cbbDeviceChange();
    EXPECT_EQ(atapi->CurrentHaId, 1);
    EXPECT_EQ(atapi->CurrentTarget, 5);
    EXPECT_EQ(atapi->CurrentLun, 3);
}

TEST_F(StartUp, ChoosingAnItemOnThePassThroughPathTakesItsHandle) {
    Drive('D');
    Drive('E');
    Start();
    window.selected = 1;
    form->cbbDeviceChange();
    EXPECT_EQ(atapi->CurrentHandle, atapi->Devices[1].Handle);
    EXPECT_NE(atapi->Devices[0].Handle, atapi->Devices[1].Handle);
}

}  // namespace
