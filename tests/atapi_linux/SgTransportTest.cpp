#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "FakeSgSystem.h"
#include "SgTransport.h"

namespace {

constexpr uint8_t kPageWrite[12] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, 0x12, 0x34, 0xAB, 0xCD, 0x01, 0x08};
constexpr uint8_t kInquiry[12] = {0x12, 0, 0, 0, 0x32, 0, 0, 0, 0, 0, 0, 0};
constexpr int kFd = 7;

class SgTransportTest : public ::testing::Test {
protected:
    uint8_t Send(SgAnswer answer, uint8_t direction = kDirOut, uint32_t length = 16) {
        sg.answer = [answer](int, const sg_io_hdr_t&) { return answer; };
        return SendCommand(kPageWrite, buffer, length, direction);
    }
    uint8_t SendCommand(const uint8_t* cdb, uint8_t* data, uint32_t length, uint8_t direction, int fd = kFd) {
        record = CommandRecord{};
        std::memcpy(record.cdb, cdb, 12);
        record.buffer = data;
        record.length = length;
        record.direction = direction;
        return transport.Send(fd, record);
    }
    FakeSgSystem sg;
    SgTransport transport{sg};
    CommandRecord record;
    uint8_t buffer[64] = {};
};

// --- the header as it goes to the kernel

struct DirectionCase {
    uint8_t direction;
    int expected;
    bool movesData;
};

class SgHeaderTest : public SgTransportTest, public ::testing::WithParamInterface<DirectionCase> {};

TEST_P(SgHeaderTest, FillsEveryFieldForTheDirection) {
    const DirectionCase c = GetParam();
    SendCommand(kPageWrite, buffer, 40, c.direction);
    ASSERT_EQ(sg.sent.size(), 1u);
    const FakeSgSystem::Sent& s = sg.sent[0];
    EXPECT_EQ(s.fd, kFd);
    EXPECT_EQ(s.header.interface_id, 'S');
    EXPECT_EQ(s.header.dxfer_direction, c.expected);
    EXPECT_EQ(s.header.cmd_len, 12);
    EXPECT_EQ(s.cdb, std::vector<uint8_t>(kPageWrite, kPageWrite + 12));
    EXPECT_EQ(s.header.mx_sb_len, 32);
    EXPECT_NE(s.header.sbp, nullptr);
    EXPECT_EQ(s.header.timeout, 60000u);
    EXPECT_EQ(s.header.dxfer_len, c.movesData ? 40u : 0u);
    EXPECT_EQ(s.header.dxferp, c.movesData ? static_cast<void*>(buffer) : nullptr);
    EXPECT_EQ(s.header.iovec_count, 0);
    EXPECT_EQ(s.header.flags, 0u);
}

INSTANTIATE_TEST_SUITE_P(Directions, SgHeaderTest,
                         ::testing::Values(DirectionCase{8, SG_DXFER_FROM_DEV, true},
                                           DirectionCase{16, SG_DXFER_TO_DEV, true},
                                           DirectionCase{0, SG_DXFER_NONE, false},
                                           DirectionCase{24, SG_DXFER_NONE, false}));

TEST_F(SgTransportTest, TheKernelWaitsAsLongAsTheRecordSays) {
    record = CommandRecord{};
    record.timeoutSeconds = 7;
    transport.Send(kFd, record);
    record.timeoutSeconds = 5000000;  // more milliseconds than the header holds: the longest it holds
    transport.Send(kFd, record);
    ASSERT_EQ(sg.sent.size(), 2u);
    EXPECT_EQ(sg.sent[0].header.timeout, 7000u);
    EXPECT_EQ(sg.sent[1].header.timeout, UINT_MAX);
    EXPECT_EQ(record.timeoutSeconds, 5000000u);  // the in half stays as it was
}

TEST_F(SgTransportTest, SixByteCommandTravelsAsTwelveBytes) {
    uint8_t data[50];
    SendCommand(kInquiry, data, 50, kDirIn);
    ASSERT_EQ(sg.sent.size(), 1u);
    EXPECT_EQ(sg.sent[0].header.cmd_len, 12);
    EXPECT_EQ(sg.sent[0].cdb, std::vector<uint8_t>(kInquiry, kInquiry + 12));
}

TEST_F(SgTransportTest, HeaderOfTheLastCommandDoesNotCarryIntoTheNext) {
    Send({.status = 2, .sense = FixedSense(5, 0x24, 0)}, kDirIn);
    int senseZeros = -1;
    sg.answer = [&senseZeros](int, const sg_io_hdr_t& h) {
        const auto* sense = static_cast<const uint8_t*>(h.sbp);
        senseZeros = static_cast<int>(std::count(sense, sense + 32, 0));
        return SgAnswer{};
    };
    SendCommand(kInquiry, buffer, 12, 0);
    const sg_io_hdr_t& h = sg.sent[1].header;
    EXPECT_EQ(h.dxferp, nullptr);
    EXPECT_EQ(h.dxfer_len, 0u);
    EXPECT_EQ(h.status, 0);
    EXPECT_EQ(h.sb_len_wr, 0);
    EXPECT_EQ(senseZeros, 32) << "sense buffer not cleared";
}

// --- results

TEST_F(SgTransportTest, GoodStatusCompletesAndDataArrives) {
    const uint8_t status = Send({.data = {1, 2, 3, 4}}, kDirIn, 4);
    EXPECT_EQ(status, 1);
    const CommandRecord& r = record;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.outcome, CommandOutcome::Completed);
    EXPECT_EQ(r.osError, 0u);
    EXPECT_EQ(r.senseLength, 0);
    EXPECT_EQ(std::memcmp(r.cdb, kPageWrite, 12), 0);
    EXPECT_EQ(r.length, 4u);
    EXPECT_EQ(r.direction, kDirIn);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(SgTransportTest, GoodStatusWithSenseAttachedStillCompletes) {
    // The kernel flags DRIVER_SENSE whenever it copied sense bytes; with GOOD the drive
    // reports success and the bytes are only information.
    const uint8_t status = Send({.driver = kDriverSense, .sense = FixedSense(1, 0x17, 0x01)});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(record.outcome, CommandOutcome::Completed);
    EXPECT_EQ(record.SenseKey(), 1);
    EXPECT_EQ(record.driverStatus, kDriverSense);
}

class SgErrnoTest : public SgTransportTest, public ::testing::WithParamInterface<int> {};

TEST_P(SgErrnoTest, FailedIoctlIsNotDeliveredWithItsErrno) {
    const int error = GetParam();
    const uint8_t status = Send({.error = error, .status = 2, .host = 7, .sense = FixedSense(5, 0, 0)});
    EXPECT_EQ(status, 0);
    const CommandRecord& r = record;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.outcome, CommandOutcome::NotDelivered);
    EXPECT_EQ(r.osError, static_cast<uint32_t>(error));
    // A failed ioctl returns nothing from the drive; none of the header's values count.
    EXPECT_EQ(r.scsiStatus, 0);
    EXPECT_EQ(r.hostStatus, 0);
    EXPECT_EQ(r.senseLength, 0);
    EXPECT_EQ(ErrnoText(error).rfind(std::strerror(error), 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Errors, SgErrnoTest,
                         ::testing::Values(EACCES, EPERM, EIO, ENODEV, ENXIO, EINVAL, EBADF));

TEST(SgErrnoText, NamesWhatIsMissingForPermissionErrorsOnly) {
    EXPECT_EQ(ErrnoText(EACCES),
              "Permission denied: vendor commands through SG_IO need root or CAP_SYS_RAWIO");
    EXPECT_EQ(ErrnoText(EPERM), std::string(std::strerror(EPERM)) +
                                    ": vendor commands through SG_IO need root or CAP_SYS_RAWIO");
    EXPECT_EQ(ErrnoText(EIO), std::strerror(EIO));
    EXPECT_EQ(ErrnoText(ENODEV), std::strerror(ENODEV));
}

TEST_F(SgTransportTest, CheckConditionGivesStatusTwoAndKeepsTheSense) {
    const uint8_t status = Send({.status = 2, .driver = kDriverSense, .sense = FixedSense(5, 0x24, 0x01)});
    EXPECT_EQ(status, 2);
    const CommandRecord& r = record;
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.outcome, CommandOutcome::Failed);
    EXPECT_EQ(r.scsiStatus, 2);
    EXPECT_EQ(r.hostStatus, 0);
    EXPECT_EQ(r.senseLength, 18);
    EXPECT_EQ(r.SenseKey(), 5);
    EXPECT_EQ(r.Asc(), 0x24);
    EXPECT_EQ(r.Ascq(), 0x01);
    EXPECT_EQ(std::vector<uint8_t>(r.sense, r.sense + 18), FixedSense(5, 0x24, 0x01));
    EXPECT_EQ(std::count(r.sense + 18, r.sense + 32, 0), 14);
}

TEST_F(SgTransportTest, OtherScsiStatusesComeBackAsTheyAre) {
    for (uint8_t scsi : {uint8_t{4}, uint8_t{8}, uint8_t{0x18}, uint8_t{0x28}}) {
        EXPECT_EQ(Send({.status = scsi}), scsi);
        EXPECT_EQ(record.outcome, CommandOutcome::Failed);
        EXPECT_EQ(record.scsiStatus, scsi);
    }
}

TEST_F(SgTransportTest, StrayStatusOneCannotReadAsCompleted) {
    EXPECT_EQ(Send({.status = 1}), 4);
    EXPECT_EQ(record.outcome, CommandOutcome::Failed);
    EXPECT_EQ(record.scsiStatus, 1);
}

TEST_F(SgTransportTest, HostFailureGivesFourWithTheHostStatus) {
    for (uint16_t host : {uint16_t{0x01}, uint16_t{0x04}, uint16_t{0x07}, uint16_t{0x0E}}) {
        EXPECT_EQ(Send({.host = host}), 4) << host;
        EXPECT_EQ(record.outcome, CommandOutcome::Failed);
        EXPECT_EQ(record.hostStatus, host);
    }
    // The host failure wins over any SCSI status that came with it.
    EXPECT_EQ(Send({.status = 2, .host = 0x07}), 4);
    EXPECT_EQ(record.scsiStatus, 2);
}

TEST_F(SgTransportTest, DriverFailureGivesFourWithTheDriverStatus) {
    for (uint16_t driver : {uint16_t{0x01}, uint16_t{0x04}, uint16_t{0x07}, uint16_t{0x08 | 0x04},
                            uint16_t{0x10}}) {
        EXPECT_EQ(Send({.driver = driver}), 4) << driver;
        EXPECT_EQ(record.outcome, CommandOutcome::Failed);
        EXPECT_EQ(record.driverStatus, driver);
    }
}

TEST_F(SgTransportTest, TimeOutFromHostOrDriverIsTimedOut) {
    EXPECT_EQ(Send({.host = kDidTimeOut}), 4);
    EXPECT_EQ(record.outcome, CommandOutcome::TimedOut);
    EXPECT_EQ(record.hostStatus, kDidTimeOut);
    EXPECT_EQ(Send({.driver = kDriverTimeout}), 4);
    EXPECT_EQ(record.outcome, CommandOutcome::TimedOut);
    EXPECT_EQ(Send({.driver = 0x20 | kDriverTimeout}), 4);  // with a suggestion in the upper bits
    EXPECT_EQ(record.outcome, CommandOutcome::TimedOut);
}

TEST_F(SgTransportTest, SenseLengthIsBoundedByTheBuffer) {
    Send({.status = 2, .sense = std::vector<uint8_t>(32, 0x70), .senseWritten = 200});
    EXPECT_EQ(record.senseLength, 32);
}

TEST_F(SgTransportTest, RecordStartsAfreshForEachCommand) {
    Send({.status = 2, .host = 0, .driver = kDriverSense, .sense = FixedSense(3, 0x0C, 0)});
    Send({.error = EIO});
    EXPECT_EQ(record.senseLength, 0);
    EXPECT_EQ(record.scsiStatus, 0);
    Send({});
    const CommandRecord& r = record;
    EXPECT_EQ(r.outcome, CommandOutcome::Completed);
    EXPECT_EQ(r.osError, 0u);
    EXPECT_EQ(record.driverStatus, 0);
}

TEST_F(SgTransportTest, ClosedDescriptorIsRefusedWithoutAnIoctl) {
    EXPECT_EQ(SendCommand(kPageWrite, buffer, 16, kDirOut, -1), 0);
    EXPECT_TRUE(sg.sent.empty());
    EXPECT_EQ(record.outcome, CommandOutcome::NotSent);
    EXPECT_EQ(record.osError, static_cast<uint32_t>(EBADF));
}

}  // namespace
