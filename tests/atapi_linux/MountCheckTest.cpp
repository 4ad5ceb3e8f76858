#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "MountCheck.h"
#include "TempDir.h"

namespace fs = std::filesystem;

namespace {

class MountCheckTest : public ::testing::Test {
protected:
    // Mount table lines for the given sources, each mounted somewhere under /media.
    void Mounts(const std::vector<std::string>& sources) {
        std::string text = "proc /proc proc rw,relatime 0 0\nsysfs /sys sysfs rw 0 0\n"
                           "overlay / overlay rw,lowerdir=/a 0 0\ntmpfs /run tmpfs rw 0 0\n";
        int n = 0;
        for (const auto& source : sources)
            text += source + " /media/m" + std::to_string(n++) + " ext4 rw 0 0\n";
        dir.Write("mounts", text);
    }
    MountCheck Check(const std::string& node) { return CheckMounted(node, dir / "mounts", dir / "sys"); }
    std::string Node(const std::string& name) {
        dir.Write("dev/" + name, "");
        return dir / ("dev/" + name);
    }
    // A block device node with the given numbers; false when this machine does not allow it.
    bool BlockNode(const std::string& name, unsigned majorNumber, unsigned minorNumber) {
        fs::create_directories(dir.Path() / "dev");
        const std::string path = dir / ("dev/" + name);
        return ::mknod(path.c_str(), S_IFBLK | 0600, makedev(majorNumber, minorNumber)) == 0;
    }
    TempDir dir;
};

TEST_F(MountCheckTest, UnreadableTableIsUnknown) {
    const MountCheck c = CheckMounted(Node("sr0"), dir / "no-such-mounts", dir / "sys");
    EXPECT_EQ(c.state, MountState::Unknown);
    EXPECT_NE(c.error.find("no-such-mounts"), std::string::npos);
}

TEST_F(MountCheckTest, SameNodeOrALinkToItIsMounted) {
    const std::string sr0 = Node("sr0");
    fs::create_directories(dir.Path() / "dev/disk/by-label");
    fs::create_symlink("../../sr0", dir.Path() / "dev/disk/by-label/DISC");
    fs::create_symlink("sr0", dir.Path() / "dev/cdrom");

    Mounts({dir / "dev/disk/by-label/DISC"});
    MountCheck c = Check(sr0);
    EXPECT_EQ(c.state, MountState::Mounted);
    EXPECT_EQ(c.source, dir / "dev/disk/by-label/DISC");
    EXPECT_EQ(c.target, "/media/m0");

    // And the other way round: the node given through a link, the table naming the node.
    Mounts({sr0});
    EXPECT_EQ(Check(dir / "dev/cdrom").state, MountState::Mounted);
}

TEST_F(MountCheckTest, PartitionNamesFollowTheDiskName) {
    const std::string sda = Node("sda"), sr1 = Node("sr1");
    Mounts({Node("sda1")});
    EXPECT_EQ(Check(sda).state, MountState::Mounted);
    Mounts({Node("sdab")});
    EXPECT_EQ(Check(sda).state, MountState::NotMounted);
    // A name that ends in a digit takes "p" before the partition number: sr10 is another drive.
    Mounts({Node("sr10"), Node("sr123")});
    EXPECT_EQ(Check(sr1).state, MountState::NotMounted);
    Mounts({Node("sr1p2")});
    EXPECT_EQ(Check(sr1).state, MountState::Mounted);
    Mounts({Node("sr1p")});
    EXPECT_EQ(Check(sr1).state, MountState::NotMounted);
}

// Odd lines are passed over; names that are no device are compared as paths, lexically when
// they do not exist; the table's \ooo escapes are decoded, other backslashes kept.
TEST_F(MountCheckTest, TableLinesAndNamesAsTheyCome) {
    struct Case {
        std::string node, table;
        MountState state;
        std::string target;
    };
    const std::string sr0 = Node("sr0"), spaced = Node("my disc"), odd = Node("a\\xyz");
    const Case cases[] = {
        {sr0, "lonely-field\n\n" + Node("sda1") + " /media/a auto rw 0 0\n" + Node("sr1") + " /media/x auto ro 0 0\n",
         MountState::NotMounted, ""},
        {spaced, (dir / "dev/my\\040disc") + " /media/My\\040Disc iso9660 ro 0 0\n", MountState::Mounted,
         "/media/My Disc"},
        {odd, (dir / "dev/a\\xyz") + " /media/a\\09 auto ro 0 0\n", MountState::Mounted, "/media/a\\09"},
        {dir / "dev/gone", (dir / "dev/x/../gone") + " /media/gone auto ro 0 0\n", MountState::Mounted, "/media/gone"},
        {dir / "dev/gone", (dir / "dev/gonex") + " /media/gone auto ro 0 0\n", MountState::NotMounted, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.table);
        dir.Write("mounts", c.table);
        const MountCheck m = Check(c.node);
        EXPECT_EQ(m.state, c.state);
        EXPECT_EQ(m.target, c.target);
    }
}

TEST_F(MountCheckTest, BlockDevicesAreComparedByNumber) {
    if (!BlockNode("sr0", 11, 0) || !BlockNode("other-name", 11, 0) || !BlockNode("sr1", 11, 1))
        GTEST_SKIP() << "no block device nodes can be made here";
    Mounts({dir / "dev/other-name"});
    EXPECT_EQ(Check(dir / "dev/sr0").state, MountState::Mounted);
    EXPECT_EQ(Check(dir / "dev/sr1").state, MountState::NotMounted);
}

TEST_F(MountCheckTest, PartitionOfABlockDeviceIsFoundThroughSysfs) {
    if (!BlockNode("disk", 8, 16) || !BlockNode("part", 8, 18) || !BlockNode("unrelated", 8, 33))
        GTEST_SKIP() << "no block device nodes can be made here";
    dir.Write("sys/devices/x/block/sdb/dev", "8:16\n");
    dir.Write("sys/devices/x/block/sdb/sdb2/dev", "8:18\n");
    dir.Write("sys/devices/x/block/sdb/sdb2/partition", "2\n");
    dir.Write("sys/devices/x/block/sdc/sdc1/dev", "8:33\n");
    dir.Write("sys/devices/x/block/sdc/sdc1/partition", "1\n");  // of another disk
    dir.Write("sys/devices/x/block/sdc/dev", "8:32\n");
    fs::create_directories(dir.Path() / "sys/dev/block");
    fs::create_symlink("../../devices/x/block/sdb", dir.Path() / "sys/dev/block/8:16");
    fs::create_symlink("../../devices/x/block/sdb/sdb2", dir.Path() / "sys/dev/block/8:18");
    fs::create_symlink("../../devices/x/block/sdc/sdc1", dir.Path() / "sys/dev/block/8:33");
    Mounts({dir / "dev/part"});
    EXPECT_EQ(Check(dir / "dev/disk").state, MountState::Mounted);
    Mounts({dir / "dev/unrelated"});
    EXPECT_EQ(Check(dir / "dev/disk").state, MountState::NotMounted);
}

TEST_F(MountCheckTest, GenericNodeStandsForItsBlockDevice) {
    if (!BlockNode("sr0", 11, 0)) GTEST_SKIP() << "no block device nodes can be made here";
    ASSERT_EQ(::mknod((dir / "dev/sg1").c_str(), S_IFCHR | 0600, makedev(21, 1)), 0);
    dir.Write("sys/devices/x/0:0:0:0/block/sr0/dev", "11:0\n");
    fs::create_directories(dir.Path() / "sys/devices/x/0:0:0:0/scsi_generic/sg1");
    fs::create_directories(dir.Path() / "sys/dev/char");
    fs::create_symlink("../../devices/x/0:0:0:0/scsi_generic/sg1", dir.Path() / "sys/dev/char/21:1");
    fs::create_symlink("../..", dir.Path() / "sys/devices/x/0:0:0:0/scsi_generic/sg1/device");
    Mounts({dir / "dev/sr0"});
    EXPECT_EQ(Check(dir / "dev/sg1").state, MountState::Mounted);
    Mounts({});
    EXPECT_EQ(Check(dir / "dev/sg1").state, MountState::NotMounted);
    // One the sr driver does not hold (taken from it) has no block device: its own name counts.
    ASSERT_EQ(::mknod((dir / "dev/sg2").c_str(), S_IFCHR | 0600, makedev(21, 2)), 0);
    fs::create_directories(dir.Path() / "sys/dev/char/21:2/device");
    Mounts({dir / "dev/sr0"});
    EXPECT_EQ(Check(dir / "dev/sg2").state, MountState::NotMounted);
    Mounts({dir / "dev/sg2"});
    EXPECT_EQ(Check(dir / "dev/sg2").state, MountState::Mounted);
}

}  // namespace
