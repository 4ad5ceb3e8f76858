// The OS layer over the Linux drives, driven through the drive-access object
// against a scripted SG_IO seam.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "FakeSgSystem.h"
#include "LinuxOsApi.h"
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

class LinuxOsApiTest : public ::testing::Test {
protected:
    LinuxOsApiTest() {
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

TEST_F(LinuxOsApiTest, OpenedDrivesAreListedByNodeInDiscoveryOrder) {
    const std::vector<SgDrive> drives = {Drive("/dev/sr0", 3), Drive("/dev/sr1", -1, "Permission denied"),
                                         Drive("/dev/sr2", 5)};
    LinuxOsApi os(transport, drives);
    TAtapi atapi(os);
    ASSERT_EQ(atapi.DeviceCount, 2);
    EXPECT_STREQ(atapi.Devices[0].Product, "QEMU    QEMU DVD-ROM    ");
    EXPECT_STREQ(atapi.Devices[0].Revision, "2.5+");
    EXPECT_STREQ(atapi.Devices[1].Product, "OTHER   DRIVE           ");
    EXPECT_EQ(atapi.DeviceName(0), "/dev/sr0");
    EXPECT_EQ(atapi.DeviceName(1), "/dev/sr2");
    ASSERT_NE(os.DriveAt(atapi.DeviceName(1)), nullptr);
    EXPECT_EQ(os.DriveAt(atapi.DeviceName(1))->fd, 5);
    EXPECT_EQ(os.DriveAt("/dev/sr1")->fd, -1);
    EXPECT_EQ(os.DriveAt("\\\\.\\D:"), nullptr);  // no letters here
    ASSERT_EQ(sg.sent.size(), 2u);
    EXPECT_EQ(sg.sent[0].fd, 3);
    EXPECT_EQ(sg.sent[1].fd, 5);
}

// The INQUIRY of discovery goes through SG_IO as the standard 50-byte data-in
// command; each drive's texts come from its own answer only.
TEST_F(LinuxOsApiTest, InquiryFillsEachEntryFromItsOwnAnswer) {
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
    LinuxOsApi os(transport, drives);
    TAtapi atapi(os);
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

TEST_F(LinuxOsApiTest, PageWriteGoesOutWithItsDataAndComesBackCompleted) {
    const std::vector<SgDrive> drives = {Drive("/dev/sr0", 3)};
    LinuxOsApi os(transport, drives);
    TAtapi atapi(os);
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

TEST_F(LinuxOsApiTest, FailuresKeepTheirReason) {
    const std::vector<SgDrive> drives = {Drive("/dev/sr0", 3)};
    LinuxOsApi os(transport, drives);
    os.onMessageBox = [this](const std::string& text) { boxes.push_back(text); };
    TAtapi atapi(os);
    atapi.SelectDevice(0);
    std::vector<uint8_t> page(0x4000);

    // CHECK CONDITION: the status and the sense come back as the driver's block carries them.
    next.status = 2;
    next.driver = kDriverSense;
    next.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00, 0, 0, 0, 0};
    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 2);
    EXPECT_EQ(atapi.LastCommand().outcome, CommandOutcome::Failed);
    EXPECT_EQ(atapi.LastCommand().SenseKey(), 5);
    EXPECT_EQ(atapi.LastCommand().Asc(), 0x20);

    // The ioctl itself fails: errno and its text.
    next = SgAnswer{};
    next.error = ENODEV;
    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 0);
    EXPECT_EQ(atapi.LastCommand().outcome, CommandOutcome::NotDelivered);
    EXPECT_EQ(atapi.LastCommand().osError, uint32_t(ENODEV));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], ErrnoText(ENODEV) + "\n");

    // An errno that equals a tolerated Windows error is not taken for completion.
    next.error = 121;
    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 0);
    EXPECT_EQ(atapi.LastCommand().outcome, CommandOutcome::NotDelivered);
    EXPECT_EQ(atapi.LastCommand().osError, uint32_t(EIO));

    // The host adapter failed the command.
    next = SgAnswer{};
    next.host = 0x07;
    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 0);
    EXPECT_EQ(atapi.LastCommand().outcome, CommandOutcome::NotDelivered);
    EXPECT_EQ(atapi.LastCommand().osError, uint32_t(EIO));

    // A time-out counts as the pass-through path's semaphore time-out does.
    next = SgAnswer{};
    next.host = kDidTimeOut;
    EXPECT_EQ(atapi.SendCommand(kPageWrite, page.data(), 0x4000, kDirOut), 1);
    EXPECT_EQ(atapi.LastCommand().outcome, CommandOutcome::CompletedTolerated);
    EXPECT_EQ(atapi.LastCommand().osError, kErrorSemTimeout);
}

}  // namespace
