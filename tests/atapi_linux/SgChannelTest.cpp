// The Linux channel, driven through the drive-access object against a
// scripted SG_IO seam.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "FakeSgSystem.h"
#include "SgChannel.h"
#include "TAtapi.h"

namespace {

constexpr uint8_t kPageWrite[12] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, 0x12, 0x34, 0x56, 0x78, 0x01, 0x08};

SgDrive Drive(const std::string& node, int fd, const std::string& reason = {}) {
    SgDrive d;
    d.node = node;
    d.fd = fd;
    d.reason = reason;
    return d;
}

std::vector<uint8_t> Inquiry(const std::string& product, const std::string& revision) {
    std::vector<uint8_t> data(96, 0);
    data[0] = 0x05;
    std::memcpy(&data[8], product.data(), 24);
    std::memcpy(&data[32], revision.data(), 4);
    return data;
}

class SgChannelTest : public ::testing::Test {
protected:
    SgChannelTest() {
        sg.answer = [this](int fd, const sg_io_hdr_t& h) {
            SgAnswer a;
            if (h.cmdp[0] == 0x12)
                a.data = Inquiry(fd == 3 ? "QEMU    QEMU DVD-ROM    " : "OTHER   DRIVE           ", "2.5+");
            if (h.cmdp[0] == 0xFD) a = next;
            return a;
        };
    }
    FakeSgSystem sg;
    SgTransport transport{sg};
    SgAnswer next;  // the answer to a page write
    std::vector<std::string> boxes;
};

TEST_F(SgChannelTest, OpenedDrivesAreListedByNodeInDiscoveryOrder) {
    const std::vector<SgDrive> drives = {Drive("/dev/sr0", 3), Drive("/dev/sr1", -1, "Permission denied"),
                                         Drive("/dev/sr2", 5)};
    SgChannel channel(transport, drives);
    ASSERT_EQ(channel.Drives().size(), 3u);
    EXPECT_FALSE(channel.Drives()[1].opened);
    EXPECT_EQ(channel.Drives()[1].reason, "Permission denied");
    TAtapi atapi(channel);
    ASSERT_EQ(atapi.DeviceCount, 2);
    EXPECT_EQ(atapi.IsNt, 0);
    EXPECT_STREQ(atapi.Devices[0].Product, "QEMU    QEMU DVD-ROM    ");
    EXPECT_STREQ(atapi.Devices[0].Revision, "2.5+");
    EXPECT_STREQ(atapi.Devices[1].Product, "OTHER   DRIVE           ");
    EXPECT_EQ(atapi.DeviceName(0), "/dev/sr0");
    EXPECT_EQ(atapi.DeviceName(1), "/dev/sr2");
    ASSERT_NE(channel.DriveOf(atapi.Devices[1].Handle), nullptr);
    EXPECT_EQ(channel.DriveOf(atapi.Devices[1].Handle)->fd, 5);
    EXPECT_EQ(channel.DriveOf(0), nullptr);  // the table's "no drive"
    ASSERT_EQ(sg.sent.size(), 2u);
    EXPECT_EQ(sg.sent[0].fd, 3);
    EXPECT_EQ(sg.sent[1].fd, 5);
}

// The INQUIRY of discovery goes through SG_IO as the standard 50-byte data-in
// command; each drive's texts come from its own answer only.
TEST_F(SgChannelTest, InquiryFillsEachEntryFromItsOwnAnswer) {
    const std::vector<SgDrive> drives = {Drive("/dev/sr0", 3), Drive("/dev/sr1", 4), Drive("/dev/sr2", 5),
                                         Drive("/dev/sr3", 6)};
    sg.answer = [](int fd, const sg_io_hdr_t&) {
        SgAnswer a;
        if (fd == 3) a.data = Inquiry("QEMU    QEMU DVD-ROM    ", "2.5+");
        if (fd == 4) a.data = Inquiry(std::string("VELD\0   DVD-RW KX4800   ", 24), std::string("1\0" "02", 4));
        if (fd == 5) a.data.assign(8, 0x05);  // ends before the texts
        if (fd == 6) a = {.status = 2, .driver = kDriverSense, .sense = FixedSense(2, 0x3A, 0)};
        return a;
    };
    SgChannel channel(transport, drives);
    TAtapi atapi(channel);
    ASSERT_EQ(sg.sent.size(), 4u);  // one INQUIRY a drive
    for (const auto& sent : sg.sent) {
        EXPECT_EQ(sent.cdb, (std::vector<uint8_t>{0x12, 0, 0, 0, 0x32, 0, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(sent.header.dxfer_len, 50u);
        EXPECT_EQ(sent.header.dxfer_direction, SG_DXFER_FROM_DEV);
    }
    ASSERT_EQ(atapi.DeviceCount, 4);  // a failed INQUIRY still lists the drive
    EXPECT_STREQ(atapi.Devices[0].Product, "QEMU    QEMU DVD-ROM    ");
    EXPECT_STREQ(atapi.Devices[0].Revision, "2.5+");
    EXPECT_STREQ(atapi.Devices[1].Product, "VELD");  // a zero byte ends each text
    EXPECT_STREQ(atapi.Devices[1].Revision, "1");
    for (int i : {2, 3}) {
        EXPECT_STREQ(atapi.Devices[i].Product, "") << i;
        EXPECT_STREQ(atapi.Devices[i].Revision, "") << i;
    }
}

TEST_F(SgChannelTest, PageWriteGoesOutWithItsDataAndComesBackCompleted) {
    const std::vector<SgDrive> drives = {Drive("/dev/sr0", 3)};
    SgChannel channel(transport, drives);
    TAtapi atapi(channel);
    atapi.SelectDevice(0);
    std::vector<uint8_t> page(0x4000, 0x5A);
    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 1);
    EXPECT_EQ(atapi.LastCommand().outcome, CommandOutcome::Completed);
    const sg_io_hdr_t& h = sg.sent.back().header;
    EXPECT_EQ(h.dxfer_direction, SG_DXFER_TO_DEV);
    EXPECT_EQ(h.dxfer_len, 0x4000u);
    EXPECT_EQ(h.dxferp, page.data());
    EXPECT_EQ(sg.sent.back().cdb, std::vector<uint8_t>(kPageWrite, kPageWrite + 12));
}

// Each result is kept as the kernel gave it and told in Linux's words.
TEST_F(SgChannelTest, FailuresKeepTheirReasonInLinuxWords) {
    const std::vector<SgDrive> drives = {Drive("/dev/sr0", 3)};
    SgChannel channel(transport, drives, [this](const std::string& text) { boxes.push_back(text); });
    TAtapi atapi(channel);
    atapi.SelectDevice(0);
    std::vector<uint8_t> page(0x4000);
    const CommandRecord& r = atapi.LastCommand();
    auto send = [&] { return atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut); };

    // CHECK CONDITION: the status and the sense as the drive gave them.
    next = {.status = 2, .driver = kDriverSense, .sense = FixedSense(5, 0x20, 0)};
    EXPECT_EQ(send(), 2);
    EXPECT_EQ(r.outcome, CommandOutcome::Failed);
    EXPECT_EQ(atapi.Describe(r), "Status 2, sense key 05h, ASC 20h, ASCQ 00h");

    // The ioctl itself fails: errno as itself, its text told once.
    next = {.error = ENODEV};
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(r.outcome, CommandOutcome::NotDelivered);
    EXPECT_EQ(r.osError, uint32_t(ENODEV));
    EXPECT_EQ(atapi.Describe(r), "Status 0: " + ErrnoText(ENODEV));
    EXPECT_EQ(boxes, std::vector<std::string>{ErrnoText(ENODEV) + "\n"});

    // An errno that equals a Windows error counted as completion is an errno like any other.
    next = {.error = 121};
    EXPECT_EQ(send(), 0);
    EXPECT_EQ(r.outcome, CommandOutcome::NotDelivered);
    EXPECT_EQ(r.osError, 121u);

    // The host adapter or the driver failed the command: their own status, no system text.
    boxes.clear();
    next = {.host = 0x07};
    EXPECT_EQ(send(), 4);
    EXPECT_EQ(r.outcome, CommandOutcome::Failed);
    EXPECT_EQ(r.hostStatus, 0x07);
    EXPECT_EQ(atapi.Describe(r), "Status 4: host adapter status 07h");
    next = {.driver = 0x04};
    EXPECT_EQ(send(), 4);
    EXPECT_EQ(r.driverStatus, 0x04);
    EXPECT_EQ(atapi.Describe(r), "Status 4: driver status 04h");
    EXPECT_TRUE(boxes.empty());

    // The kernel gave up after the command's time-out: counted as completed, and said so.
    next = {.host = kDidTimeOut};
    EXPECT_EQ(send(), 1);
    EXPECT_EQ(r.outcome, CommandOutcome::CompletedTolerated);
    EXPECT_EQ(r.hostStatus, kDidTimeOut);
    EXPECT_EQ(r.osError, 0u);
    EXPECT_EQ(sg.sent.back().header.timeout, 60000u);
    EXPECT_EQ(atapi.Describe(r), "although the drive did not answer within 60 s");
    EXPECT_TRUE(boxes.empty());

    // A handle that names no open drive reaches no ioctl.
    const size_t sent = sg.sent.size();
    CommandRecord lost;
    EXPECT_EQ(channel.Send(0x999, lost), 0);
    EXPECT_EQ(lost.outcome, CommandOutcome::NotSent);
    EXPECT_EQ(sg.sent.size(), sent);
}

// --- the drive kept to this program

SgDrive Reservable(const std::string& node, int fd, const std::string& generic) {
    SgDrive d = Drive(node, fd);
    d.genericNode = generic;
    return d;
}

TEST_F(SgChannelTest, ReservingOpensBothNodesExclusivelyAndTakesTheDriveFromTheSrDriverUntilReleased) {
    sg.exclusiveNodes["/dev/sr0"] = 7;
    sg.exclusiveNodes["/dev/sg1"] = 8;
    SgDrive drive = Reservable("/dev/sr0", 3, "/dev/sg1");
    drive.host = 2, drive.channel = 0, drive.target = 1, drive.lun = 0;
    SgChannel channel(transport, {drive}, nullptr, "/sysfs");
    TAtapi atapi(channel);
    const size_t opened = sg.opens.size();
    EXPECT_EQ(atapi.Reserve().outcome, Reservation::Outcome::Held);
    ASSERT_EQ(sg.opens.size(), opened + 2);
    const int exclusive = O_RDWR | O_EXCL | O_NONBLOCK;
    EXPECT_EQ(sg.opens[opened], std::make_pair(std::string("/dev/sr0"), exclusive));
    EXPECT_EQ(sg.opens[opened + 1], std::make_pair(std::string("/dev/sg1"), exclusive));
    using Write = FakeSgSystem::Write;
    const size_t asked = sg.sent.size();  // the INQUIRY of the list
    EXPECT_EQ(sg.writes, (std::vector<Write>{{"/sysfs/bus/scsi/drivers/sr/unbind", "2:0:1:0", asked}}));
    EXPECT_EQ(sg.dups, (std::vector<std::pair<int, int>>{{8, 3}})) << "the list's descriptor keeps no block node open";
    // A signal that ends the program meanwhile closes the block node and gives the drive back.
    EXPECT_EQ(sg.guardedFd, 7);
    EXPECT_EQ(sg.guarded, (Write{"/sysfs/bus/scsi/drivers/sr/bind", "2:0:1:0", asked}));
    uint8_t page[16384] = {};
    atapi.SendCommand(kPageWrite, page, sizeof page, kDirOut);
    EXPECT_EQ(sg.sent.back().fd, 8) << "the block node is gone: the generic node carries the commands";
    sg.order.clear();
    atapi.Release();
    EXPECT_EQ(sg.guardedFd, -1);
    // Both descriptors closed first, or the sr driver makes the block node under another name.
    EXPECT_EQ(sg.order, (std::vector<std::string>{"close 8", "close 7",
                                                  "write /sysfs/bus/scsi/drivers/sr/bind 2:0:1:0"}));
    EXPECT_EQ(sg.writes.back(), (Write{"/sysfs/bus/scsi/drivers/sr/bind", "2:0:1:0", asked + 1}));
    atapi.SendCommand(kPageWrite, page, sizeof page, kDirOut);
    EXPECT_EQ(sg.sent.back().fd, 3) << "after the release the list's descriptor carries the commands again";
    atapi.Release();
    EXPECT_EQ(sg.writes.size(), 2u) << "given back once";
}

// A program that has the block node open would still reach the drive when it goes: one closing
// it is waited for, one that keeps it is named, and nothing is taken or sent.
TEST_F(SgChannelTest, AProgramWithTheBlockNodeStillOpenIsWaitedForAWhileThenNamed) {
    sg.exclusiveNodes["/dev/sr0"] = 7;
    sg.exclusiveNodes["/dev/sg1"] = 8;
    SgChannel channel(transport, {Reservable("/dev/sr0", 3, "/dev/sg1")});
    const OsHandle drive = channel.Drives()[0].handle;
    sg.holders = {{"poller, process 40"}, {"poller, process 40"}, {}};
    EXPECT_EQ(channel.Reserve(drive).outcome, Reservation::Outcome::Held);
    EXPECT_EQ(sg.asked, (std::vector<int>{7, 7, 7, 7})) << "asked about the block node's device, before and after";
    EXPECT_EQ(sg.slept, 200);
    channel.Release(drive);

    const size_t sent = sg.sent.size();
    sg.holders = {{"player, process 12", "poller, process 40"}};
    sg.closes.clear();
    sg.slept = 0;
    const Reservation kept = channel.Reserve(drive);
    EXPECT_EQ(kept.outcome, Reservation::Outcome::HeldElsewhere);
    EXPECT_EQ(kept.holder, "player, process 12; poller, process 40");
    EXPECT_GE(sg.slept, 2000);
    EXPECT_LE(sg.slept, 2100);
    EXPECT_EQ(sg.closes, (std::vector<int>{8, 7}));
    EXPECT_EQ(sg.writes.size(), 2u) << "the first reservation's unbind and bind alone";
    EXPECT_EQ(sg.dups.size(), 1u);
    EXPECT_EQ(sg.sent.size(), sent);

    // One that opened the node just before it went: named, and the drive given back.
    sg.holders = {{}, {"player, process 12"}};
    EXPECT_EQ(channel.Reserve(drive).holder, "player, process 12");
    ASSERT_EQ(sg.writes.size(), 4u);
    EXPECT_EQ(sg.writes[2].path, "/sys/bus/scsi/drivers/sr/unbind");
    EXPECT_EQ(sg.writes[3].path, "/sys/bus/scsi/drivers/sr/bind");
    EXPECT_EQ(sg.guardedFd, -1);
    EXPECT_EQ(sg.sent.size(), sent);
}

// A drive that cannot be wholly held (no rights to sysfs, no generic node to send through) is
// refused with why, and whatever was opened for it is closed; nothing is given back that was not
// taken. A block node that cannot be made again is told, unless another updater made it first.
TEST_F(SgChannelTest, ADriveThatCannotBeWhollyHeldIsRefusedWithWhy) {
    sg.exclusiveNodes["/dev/sr0"] = 7;
    sg.exclusiveNodes["/dev/sg1"] = 8;
    sg.exclusiveNodes["/dev/sr2"] = 9;
    sg.writeErrors["/sys/bus/scsi/drivers/sr/unbind"] = EACCES;
    std::vector<std::string> told;
    SgChannel channel(transport, {Reservable("/dev/sr0", 3, "/dev/sg1"), Reservable("/dev/sr2", 5, "")},
                      [&told](const std::string& text) { told.push_back(text); });
    const Reservation unbound = channel.Reserve(channel.Drives()[0].handle);
    EXPECT_EQ(unbound.outcome, Reservation::Outcome::Failed);
    EXPECT_EQ(unbound.detail, "it could not be taken from the sr driver (" + ErrnoText(EACCES) + ")");
    EXPECT_EQ(sg.guardedFd, -1);
    const Reservation noGeneric = channel.Reserve(channel.Drives()[1].handle);
    EXPECT_EQ(noGeneric.outcome, Reservation::Outcome::Failed);
    EXPECT_NE(noGeneric.detail.find("modprobe sg"), std::string::npos) << noGeneric.detail;
    EXPECT_EQ(sg.writes.size(), 1u);
    EXPECT_EQ(sg.closes, (std::vector<int>{8, 7}));
    EXPECT_TRUE(sg.sent.empty());
    EXPECT_TRUE(told.empty());

    sg.writeErrors = {{"/sys/bus/scsi/drivers/sr/bind", EACCES}};
    EXPECT_EQ(channel.Reserve(channel.Drives()[0].handle).outcome, Reservation::Outcome::Held);
    channel.Release(channel.Drives()[0].handle);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find(ErrnoText(EACCES)), std::string::npos) << told[0];
}

TEST_F(SgChannelTest, ADriveHeldElsewhereIsNotReservedAndNothingStaysOpen) {
    // The block node held (or mounted), or the generic node open in another program.
    for (const char* busy : {"/dev/sr0", "/dev/sg1"}) {
        FakeSgSystem system;
        SgTransport sgTransport(system);
        system.exclusiveErrors[busy] = EBUSY;
        system.exclusiveNodes["/dev/sr0"] = 7;
        system.exclusiveNodes["/dev/sg1"] = 8;
        SgChannel channel(sgTransport, {Reservable("/dev/sr0", 3, "/dev/sg1")});
        const Reservation r = channel.Reserve(channel.Drives()[0].handle);
        EXPECT_EQ(r.outcome, Reservation::Outcome::HeldElsewhere) << busy;
        EXPECT_EQ(system.closes, std::string(busy) == "/dev/sg1" ? std::vector<int>{7} : std::vector<int>{}) << busy;
        EXPECT_TRUE(system.sent.empty());
    }
}

TEST_F(SgChannelTest, OtherFailuresSayWhy) {
    sg.exclusiveErrors["/dev/sr0"] = EACCES;
    sg.exclusiveErrors["/dev/sg1"] = ENOENT;
    sg.exclusiveNodes["/dev/sr2"] = 9;
    SgChannel channel(transport, {Reservable("/dev/sr0", 3, "/dev/sg0"), Reservable("/dev/sr2", 5, "/dev/sg1")});
    const Reservation failed = channel.Reserve(channel.Drives()[0].handle);
    EXPECT_EQ(failed.outcome, Reservation::Outcome::Failed);
    EXPECT_EQ(failed.detail, ErrnoText(EACCES));
    const Reservation noGeneric = channel.Reserve(channel.Drives()[1].handle);
    EXPECT_EQ(noGeneric.outcome, Reservation::Outcome::Failed);
    EXPECT_EQ(noGeneric.detail, ErrnoText(ENOENT));
    EXPECT_EQ(sg.closes, (std::vector<int>{9}));
}

// Reached by its generic node alone, which the list holds open: that descriptor is closed for the
// exclusive open, which then takes its number. Refused (another program opened the node meanwhile),
// the list gets its plain descriptor back; a program that keeps the node open is named.
TEST_F(SgChannelTest, ADriveReachedByItsGenericNodeAloneIsHeldByThatNode) {
    sg.exclusiveNodes["/dev/sg4"] = 11;
    sg.nodes["/dev/sg4"] = 12;
    SgChannel channel(transport, {Reservable("/dev/sg4", 6, "/dev/sg4")});
    const OsHandle drive = channel.Drives()[0].handle;
    EXPECT_EQ(channel.Reserve(drive).outcome, Reservation::Outcome::Held);
    EXPECT_EQ(sg.opens.back(), std::make_pair(std::string("/dev/sg4"), O_RDWR | O_EXCL | O_NONBLOCK));
    EXPECT_EQ(sg.closes, (std::vector<int>{6, 11}));
    EXPECT_EQ(sg.dups, (std::vector<std::pair<int, int>>{{11, 6}}));
    EXPECT_TRUE(sg.writes.empty()) << "nothing taken from the sr driver";
    uint8_t page[16384] = {};
    CommandRecord record;
    std::memcpy(record.cdb, kPageWrite, sizeof kPageWrite);
    record.buffer = page, record.length = sizeof page, record.direction = kDirOut;
    channel.Send(drive, record);
    EXPECT_EQ(sg.sent.back().fd, 6);
    channel.Release(drive);

    sg.closes.clear(), sg.dups.clear();
    sg.exclusiveErrors["/dev/sg4"] = EBUSY;
    EXPECT_EQ(channel.Reserve(drive).outcome, Reservation::Outcome::HeldElsewhere);
    EXPECT_EQ(sg.closes, (std::vector<int>{6, 12}));
    EXPECT_EQ(sg.dups, (std::vector<std::pair<int, int>>{{12, 6}})) << "the list's descriptor back";

    sg.closes.clear();
    sg.holders = {{"updater, process 77"}};
    const Reservation kept = channel.Reserve(drive);
    EXPECT_EQ(kept.outcome, Reservation::Outcome::HeldElsewhere);
    EXPECT_EQ(kept.holder, "updater, process 77");
    EXPECT_TRUE(sg.closes.empty());
    EXPECT_EQ(sg.sent.size(), 1u);
}

}  // namespace
