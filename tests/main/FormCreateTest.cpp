// Start-up of the window: caption, checksum line, drive list, current device.
#include <gtest/gtest.h>

#include "EmbeddedContainer.h"
#include "Firmware.h"
#include "MainRig.h"

namespace {

using Calls = std::vector<std::string>;

VirtualDriveConfig Drive(const std::string& product, const std::string& revision) {
    VirtualDriveConfig config;
    config.vendorProduct = product;
    config.revision = revision;
    return config;
}

TEST(FormCreate, DemoContainerGivesTheImageIdentityInTheCaptionAndAQuietLog) {
    MainRig rig;
    rig.container.assign(EmbeddedContainerData(), EmbeddedContainerData() + EmbeddedContainerSize());
    rig.AddDrive();
    rig.Start();

    EXPECT_EQ(rig.window.caption, "VELD    DVD-RW KX4800   1.02 K4 Updater");
    EXPECT_TRUE(rig.window.log.empty());
    EXPECT_EQ(rig.window.items, (Calls{"[ 1 ] VELD    DVD-RW KX4800     1.02"}));
    EXPECT_EQ(rig.window.selected, 0);
    EXPECT_EQ(rig.window.calls, (Calls{"SetCaption", "ClearLog", "AddDeviceItem", "SelectDeviceItem 0"}));

    const TMainW& form = *rig.form;
    ASSERT_NE(form.Image.data, nullptr);
    EXPECT_EQ(form.Image.length, 0x100000u);
    EXPECT_EQ(form.ImageCheckSum, GetCheckSum(form.Image.data.get(), form.Image.length));
    EXPECT_EQ(form.ImageCheckSum, rig.parameter.checksum);
    EXPECT_STREQ(form.ImageDriveName.get(), "VELD    DVD-RW KX4800   ");
    EXPECT_STREQ(form.ImageVersion.get(), "1.02");
    EXPECT_STREQ(form.ImageHardwareID.get(), "K4");
}

TEST(FormCreate, CaptionIsNameVersionSpaceHardwareIdAndUpdater) {
    MainRig rig;
    testimage::Spec spec;
    spec.driveName = "ABCD    EFGH            ";
    spec.version = "2.3a";
    spec.hardwareId = "Z9";
    rig.UseImage(spec);
    rig.Start();
    EXPECT_EQ(rig.window.caption, "ABCD    EFGH            2.3a Z9 Updater");
}

TEST(FormCreate, AbsentTextsContributeNothingToTheCaption) {
    MainRig rig;
    testimage::Spec spec;
    spec.identityBlock = false;
    spec.inquiryBlock = false;
    rig.UseImage(spec);
    rig.Start();
    EXPECT_EQ(rig.window.caption, "  Updater");
    EXPECT_EQ(rig.form->ImageHardwareID, nullptr);
    EXPECT_TRUE(rig.window.log.empty());  // the stored checksum still matches
}

TEST(FormCreate, RejectedContainerLeavesAnEmptyImageAndStartUpGoesOn) {
    MainRig rig;
    rig.container[0] ^= 0x20;  // no longer the magic
    rig.AddDrive();
    rig.Start();

    EXPECT_EQ(rig.form->Image.data, nullptr);
    EXPECT_EQ(rig.form->Image.length, 0u);
    EXPECT_EQ(rig.form->ImageCheckSum, 0);
    EXPECT_EQ(rig.window.caption, "  Updater");
    EXPECT_TRUE(rig.window.log.empty());  // the record kept its checksum 0, equal to the empty image's
    EXPECT_EQ(rig.parameter.checksum, 0);
    EXPECT_EQ(rig.window.items.size(), 1u);
    EXPECT_EQ(rig.window.selected, 0);
}

TEST(FormCreate, StoredChecksumThatDiffersGivesExactlyOneLogLine) {
    MainRig rig;
    testimage::SetStoredChecksum(rig.container, GetCheckSum(rig.image.data(), rig.image.size()) ^ 0x0100);
    rig.AddDrive();
    rig.Start();
    EXPECT_EQ(rig.window.log, (Calls{"Check Sum error !"}));
    EXPECT_EQ(rig.window.calls,
              (Calls{"SetCaption", "ClearLog", "AppendLog", "AddDeviceItem", "SelectDeviceItem 0"}));
    EXPECT_EQ(rig.window.caption, "VELD    DVD-RW KX4800   1.02 K4 Updater");
}

TEST(FormCreate, ListsEveryDriveNumberedFromOneInTableOrderAndMakesTheFirstCurrent) {
    MainRig rig;
    rig.AddDrive(Drive("VELD    DVD-RW KX4800   ", "1.02"));
    rig.AddDrive(Drive("OTHR    CD-ROM X        ", "0.9a"));
    rig.AddDrive(Drive("THRD    BD-RE           ", "3.00"));
    rig.Start();

    EXPECT_EQ(rig.window.items, (Calls{"[ 1 ] VELD    DVD-RW KX4800     1.02",
                                       "[ 2 ] OTHR    CD-ROM X          0.9a",
                                       "[ 3 ] THRD    BD-RE             3.00"}));
    EXPECT_EQ(rig.window.selected, 0);
    EXPECT_EQ(rig.atapi->CurrentHandle, rig.atapi->Devices[0].Handle);
}

TEST(FormCreate, TheTenthItemCarriesTheNumberTenWithoutPadding) {
    MainRig rig;
    for (uint8_t target = 0; target < 7; ++target) rig.AddAspiDrive(target);
    for (uint8_t lun = 0; lun < 4; ++lun) rig.os.AddAspiDevice(0, 7, lun, rig.drives[0].get());
    rig.Start();

    ASSERT_EQ(rig.window.items.size(), 11u);
    EXPECT_EQ(rig.window.items[8], "[ 9 ] VELD    DVD-RW KX4800     1.02");
    EXPECT_EQ(rig.window.items[9], "[ 10 ] VELD    DVD-RW KX4800     1.02");
    EXPECT_EQ(rig.window.items[10], "[ 11 ] VELD    DVD-RW KX4800     1.02");
}

TEST(FormCreate, TextsEndAtTheirTerminators) {
    MainRig rig;
    rig.AddDrive(Drive(std::string("SHORT", 5) + std::string(19, '\0'), std::string("1\0\0\0", 4)));
    rig.Start();
    EXPECT_EQ(rig.window.items, (Calls{"[ 1 ] SHORT  1"}));
}

TEST(FormCreate, EmptyDeviceTableLeavesTheListEmptyAndTheCurrentDeviceAlone) {
    MainRig rig;
    rig.Discover();
    rig.atapi->CurrentHandle = 0x4711;  // marks the current device
    rig.CreateForm();
    EXPECT_TRUE(rig.window.items.empty());
    EXPECT_EQ(rig.window.selected, -1);
    EXPECT_EQ(rig.atapi->CurrentHandle, 0x4711u);
}

TEST(cbbDeviceChange, SelectedItemBecomesTheCurrentDeviceOnThePassThroughPath) {
    MainRig rig;
    for (int i = 0; i < 3; ++i) rig.AddDrive();
    rig.Start();
    const TAtapi& atapi = *rig.atapi;
    ASSERT_EQ(atapi.DeviceCount, 3);

    rig.window.SelectDeviceItem(2);
    rig.form->cbbDeviceChange();
    EXPECT_EQ(atapi.CurrentHandle, atapi.Devices[2].Handle);
    EXPECT_NE(atapi.Devices[2].Handle, atapi.Devices[0].Handle);

    rig.window.SelectDeviceItem(1);
    rig.form->cbbDeviceChange();
    EXPECT_EQ(atapi.CurrentHandle, atapi.Devices[1].Handle);
}

TEST(cbbDeviceChange, SelectedItemBecomesTheCurrentAddressOnTheAspiPath) {
    MainRig rig;
    rig.AddAspiDrive(1);
    rig.AddAspiDrive(4);
    rig.Start();
    rig.window.SelectDeviceItem(1);
    rig.form->cbbDeviceChange();
    EXPECT_EQ(rig.atapi->CurrentHaId, 0);
    EXPECT_EQ(rig.atapi->CurrentTarget, 4);
    EXPECT_EQ(rig.atapi->CurrentLun, 0);
}

TEST(cbbDeviceChange, NoSelectedItemChangesNothing) {
    MainRig rig;
    rig.AddDrive();
    rig.AddDrive();
    rig.Start();
    rig.window.SelectDeviceItem(1);
    rig.form->cbbDeviceChange();
    const OsHandle current = rig.atapi->CurrentHandle;

    rig.window.selected = -1;  // text typed into the edit field
    rig.form->cbbDeviceChange();
    EXPECT_EQ(rig.atapi->CurrentHandle, current);
}

}  // namespace
