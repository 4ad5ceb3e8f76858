#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "FakeSgSystem.h"
#include "SgDiscovery.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

// 50 bytes of INQUIRY data: peripheral type 5, the identification texts at 8 and 32.
std::vector<uint8_t> InquiryData(const std::string& vendorProduct, const std::string& revision) {
    std::vector<uint8_t> data(50, 0);
    data[0] = 0x05;
    data[4] = 45;
    std::memcpy(data.data() + 8, vendorProduct.data(), std::min<size_t>(vendorProduct.size(), 24));
    std::memcpy(data.data() + 32, revision.data(), std::min<size_t>(revision.size(), 4));
    return data;
}

// A sysfs tree laid out as the kernel does it: the SCSI device folder under devices/,
// reached from class/scsi_device/H:C:T:L through symbolic links.
class FakeSysfs {
public:
    explicit FakeSysfs(const TempDir& dir) : dir_(dir) {}

    // kind: "block" or "scsi_generic" (a folder holding the node's name), "block:" (the old
    // block:<name> link), or "" for no node at all.
    void Add(const std::string& hctl, const std::string& type, const std::string& kind = "block",
             const std::string& nodeName = "") {
        const std::string device = "sys/devices/pci0000:00/host/target/" + hctl;
        dir_.Write(device + "/type", type);
        if (kind == "block" || kind == "scsi_generic") {
            fs::create_directories(dir_.Path() / device / kind / nodeName);
        } else if (kind == "block:") {
            fs::create_directories(dir_.Path() / "sys/block" / nodeName);
            fs::create_symlink("../../../../../block/" + nodeName,
                               dir_.Path() / device / ("block:" + nodeName));
        }
        const fs::path classDevice = dir_.Path() / device / "scsi_device" / hctl;
        fs::create_directories(classDevice);
        fs::create_symlink("../..", classDevice / "device");
        fs::create_directories(dir_.Path() / "sys/class/scsi_device");
        fs::create_symlink(fs::relative(classDevice, dir_.Path() / "sys/class/scsi_device"),
                           dir_.Path() / "sys/class/scsi_device" / hctl);
    }
    std::string Root() const { return dir_ / "sys"; }

private:
    const TempDir& dir_;
};

class SgDiscoveryTest : public ::testing::Test {
protected:
    // A drive at H:C:T:L with block node srN that opens as descriptor 100 + N and answers the
    // INQUIRY with the given texts.
    void Drive(const std::string& hctl, int n, const std::string& product = "VELD    DVD-RW KX4800   ",
               const std::string& revision = "1.02") {
        sysfs.Add(hctl, "5\n", "block", "sr" + std::to_string(n));
        sg.nodes["/dev/sr" + std::to_string(n)] = 100 + n;
        inquiry[100 + n] = InquiryData(product, revision);
    }
    void SetUp() override {
        sg.answer = [this](int fd, const sg_io_hdr_t&) {
            SgAnswer a;
            a.data = inquiry[fd];
            return a;
        };
    }
    std::vector<std::string> Nodes(const SgDriveList& list) {
        std::vector<std::string> nodes;
        for (const SgDrive& d : list.Drives()) nodes.push_back(d.node);
        return nodes;
    }

    TempDir dir;
    FakeSysfs sysfs{dir};
    FakeSgSystem sg;
    SgTransport transport{sg};
    std::map<int, std::vector<uint8_t>> inquiry;
};

TEST_F(SgDiscoveryTest, NoScsiDevicesFolderListsNothing) {
    SgDriveList list(transport, dir / "sys");
    EXPECT_TRUE(list.Drives().empty());
    EXPECT_TRUE(sg.opens.empty());
}

TEST_F(SgDiscoveryTest, OrdersByHostChannelTargetLunAsNumbers) {
    Drive("10:0:0:0", 5);
    Drive("2:0:10:0", 4);
    Drive("2:0:9:0", 3);
    Drive("2:1:0:0", 2);
    Drive("2:0:0:1", 1);
    Drive("2:0:0:0", 0);
    SgDriveList list(transport, sysfs.Root());
    EXPECT_EQ(Nodes(list), (std::vector<std::string>{"/dev/sr0", "/dev/sr1", "/dev/sr3", "/dev/sr4",
                                                     "/dev/sr2",
                                                     "/dev/sr5"}));
    const SgDrive& d = list.Drives()[3];
    EXPECT_EQ(d.host, 2u);
    EXPECT_EQ(d.channel, 0u);
    EXPECT_EQ(d.target, 10u);
    EXPECT_EQ(d.lun, 0u);
}

TEST_F(SgDiscoveryTest, ListsOnlyPeripheralTypeFive) {
    Drive("0:0:0:0", 0);
    sysfs.Add("0:0:1:0", "0\n", "block", "sda");     // a disk
    sysfs.Add("0:0:2:0", "15\n", "block", "sdb");    // holds a 5, but is not 5
    sysfs.Add("0:0:3:0", "", "block", "sdc");        // unreadable type
    sysfs.Add("0:0:4:0", "55\n", "scsi_generic", "sg4");
    Drive("1:0:0:0", 1);
    fs::create_directories(dir.Path() / "sys/class/scsi_device/host3");   // not an address
    fs::create_directories(dir.Path() / "sys/class/scsi_device/1:2:3");   // three numbers only
    fs::create_directories(dir.Path() / "sys/class/scsi_device/1:2:3:4:5");
    SgDriveList list(transport, sysfs.Root());
    EXPECT_EQ(Nodes(list), (std::vector<std::string>{"/dev/sr0", "/dev/sr1"}));
    EXPECT_EQ(sg.opens.size(), 2u);
}

TEST_F(SgDiscoveryTest, OpensTwentyAndListsTheRestAsPastTheTable) {
    for (int n = 0; n < 24; ++n) Drive("0:0:" + std::to_string(n) + ":0", n);
    sg.openErrors["/dev/sr5"] = EACCES;  // takes no entry
    SgDriveList list(transport, sysfs.Root());
    ASSERT_EQ(list.Drives().size(), 24u);
    for (int n = 0; n < 24; ++n) {
        const SgDrive& d = list.Drives()[n];
        EXPECT_EQ(d.node, "/dev/sr" + std::to_string(n));
        EXPECT_EQ(d.tableFull, n > 20) << n;
        EXPECT_EQ(d.fd >= 0, n != 5 && n <= 20) << n;
    }
    EXPECT_EQ(list.Drives()[21].reason, "the device table is full");
    EXPECT_EQ(sg.opens.size(), 21u);
}

TEST_F(SgDiscoveryTest, OpensEachReadWriteWithoutBlocking) {
    Drive("0:0:0:0", 0);
    SgDriveList list(transport, sysfs.Root(), "/dev");
    ASSERT_EQ(sg.opens.size(), 1u);
    EXPECT_EQ(sg.opens[0].first, "/dev/sr0");
    EXPECT_EQ(sg.opens[0].second, O_RDWR | O_NONBLOCK);
    EXPECT_EQ(list.Drives()[0].fd, 100);
    EXPECT_TRUE(list.Drives()[0].reason.empty());
}

TEST_F(SgDiscoveryTest, DriveThatCannotBeOpenedIsListedWithTheReason) {
    Drive("0:0:0:0", 0);
    Drive("0:0:1:0", 1);
    Drive("0:0:2:0", 2);
    sg.openErrors["/dev/sr1"] = EACCES;
    sg.openErrors["/dev/sr2"] = ENOMEDIUM;
    SgDriveList list(transport, sysfs.Root());
    ASSERT_EQ(list.Drives().size(), 3u);
    const SgDrive& denied = list.Drives()[1];
    EXPECT_EQ(denied.node, "/dev/sr1");
    EXPECT_EQ(denied.fd, -1);
    EXPECT_EQ(denied.reason, "Permission denied: vendor commands through SG_IO need root or CAP_SYS_RAWIO");
    EXPECT_EQ(list.Drives()[2].reason, std::strerror(ENOMEDIUM));
    EXPECT_TRUE(sg.sent.empty());  // finding the drives sends them nothing
}

TEST_F(SgDiscoveryTest, FindsTheNodeOfEachKind) {
    sysfs.Add("0:0:0:0", "5", "block", "sr0");
    sysfs.Add("0:0:1:0", "5", "scsi_generic", "sg3");
    sysfs.Add("0:0:2:0", "5", "block:", "sr7");
    sysfs.Add("0:0:3:0", "5", "", "");
    sg.nodes = {{"/x/dev/sr0", 3}, {"/x/dev/sg3", 4}, {"/x/dev/sr7", 5}};
    SgDriveList list(transport, sysfs.Root(), "/x/dev");
    EXPECT_EQ(Nodes(list), (std::vector<std::string>{"/x/dev/sr0", "/x/dev/sg3", "/x/dev/sr7", ""}));
    EXPECT_EQ(list.Drives()[3].fd, -1);
    EXPECT_NE(list.Drives()[3].reason.find("no device node"), std::string::npos);
    EXPECT_EQ(sg.opens.size(), 3u);
}

TEST_F(SgDiscoveryTest, BlockNodeIsPreferredToTheGenericOne) {
    sysfs.Add("0:0:0:0", "5", "block", "sr0");
    fs::create_directories(dir.Path() / "sys/devices/pci0000:00/host/target/0:0:0:0/scsi_generic/sg0");
    SgDriveList list(transport, sysfs.Root());
    EXPECT_EQ(Nodes(list), (std::vector<std::string>{"/dev/sr0"}));
    EXPECT_EQ(SgDeviceNode((dir / "sys/devices/pci0000:00/host/target/0:0:0:0"), "/dev"), "/dev/sr0");
}

TEST_F(SgDiscoveryTest, ClosesEveryOpenDescriptorWhenItGoes) {
    Drive("0:0:0:0", 0);
    Drive("0:0:1:0", 1);
    Drive("0:0:2:0", 2);
    sg.openErrors["/dev/sr1"] = EBUSY;
    {
        SgDriveList list(transport, sysfs.Root());
        EXPECT_TRUE(sg.closes.empty());
    }
    EXPECT_EQ(sg.closes, (std::vector<int>{100, 102}));
}

// A drive that a killed updater left taken from the sr driver is given back, unless another
// program (an updater that holds it now) has its generic node open; drives the sr driver holds,
// or that have no generic node, are left alone.
TEST(SgGiveBack, ADriveLeftWithoutItsBlockNodeIsGivenBackWhenNobodyHoldsIt) {
    TempDir dir;
    FakeSysfs sysfs(dir);
    const std::string devices = "sys/devices/pci0000:00/host/target/";
    sysfs.Add("1:0:0:0", "5\n", "block", "sr0");
    fs::create_symlink("../../../../bus/scsi/drivers/sr", dir.Path() / devices / "1:0:0:0/driver");
    sysfs.Add("2:0:0:0", "5\n", "scsi_generic", "sg3");  // left by a killed updater
    sysfs.Add("3:0:0:0", "5\n", "scsi_generic", "sg4");  // held by another updater
    sysfs.Add("4:0:0:0", "5\n", "scsi_generic", "sg5");  // to be given back, without the rights
    sysfs.Add("5:0:0:0", "5\n", "");
    fs::create_directories(dir.Path() / "sys/bus/scsi/drivers/sr");
    FakeSgSystem sg;
    sg.nodes[dir / "dev/sg3"] = 3;
    sg.nodes[dir / "dev/sg5"] = 5;
    sg.exclusiveErrors[dir / "dev/sg4"] = EBUSY;
    const std::string bind = dir / "sys/bus/scsi/drivers/sr/bind";
    // Only 2:0:0:0's is written: its block node appears, and the next write is refused.
    sg.onWrite = [&](const FakeSgSystem::Write& w) {
        if (w.text == "2:0:0:0") {
            fs::create_directories(dir.Path() / devices / "2:0:0:0/block/sr2");
            dir.Write("dev/sr2", "");
            sg.writeErrors[bind] = EACCES;
        }
    };
    const std::vector<std::string> told = SgGiveBackLeftDrives(sg, dir / "sys", dir / "dev");
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0], (dir / "dev/sg3") + " (SCSI device 2:0:0:0) had been left without its block node by an "
                           "updater that was ended without giving the drive back; it is given back to the sr "
                           "driver as " + (dir / "dev/sr2"));
    EXPECT_NE(told[1].find((dir / "dev/sg5") + " (SCSI device 4:0:0:0) has no block node"), std::string::npos)
        << told[1];
    EXPECT_NE(told[1].find(ErrnoText(EACCES)), std::string::npos) << told[1];
    ASSERT_EQ(sg.writes.size(), 2u);
    EXPECT_EQ(sg.writes[0].path, bind);
    EXPECT_EQ(sg.writes[1].text, "4:0:0:0");
    for (const auto& [path, flags] : sg.opens) EXPECT_TRUE(flags & O_EXCL) << path;
    EXPECT_EQ(sg.closes, (std::vector<int>{3, 5}));
    EXPECT_TRUE(sg.sent.empty());
}

}  // namespace
